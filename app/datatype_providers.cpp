// datatype_providers: the list of datatype modules that describe their own
// registry rows. A new datatype is its module plus one line here; the
// registry (kernel/) installs the rows in its fixed order and never names a
// datatype module itself.
#include "app/datatype_providers.h"

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/block_actions.h"
#include "datatypes/char.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/date.h"
#include "datatypes/email.h"
#include "datatypes/error.h"
#include "datatypes/file.h"
#include "datatypes/float.h"
#include "datatypes/function.h"
#include "datatypes/handle.h"
#include "datatypes/hash.h"
#include "datatypes/image.h"
#include "datatypes/integer.h"
#include "datatypes/issue.h"
#include "datatypes/logic.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/pair.h"
#include "datatypes/paren.h"
#include "datatypes/path.h"
#include "datatypes/percent.h"
#include "datatypes/point.h"
#include "datatypes/port.h"
#include "datatypes/ref.h"
#include "datatypes/routine.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tag.h"
#include "datatypes/time.h"
#include "datatypes/triple.h"
#include "datatypes/tuple.h"
#include "datatypes/typeset.h"
#include "datatypes/url.h"
#include "datatypes/vector.h"
#include "datatypes/word.h"

namespace kel::app {
namespace {

constexpr registry::row_provider providers[] = {
    {types::datatype, datatype::row},
    {types::unset, unset::row},
    {types::none, none::row},
    {types::logic, logic::row},
    {types::series, series::row},
    {types::block, block::row},
    {types::integer, integer::row},
    {types::char_, char_::row},
    {types::float_, float_::row},
    {types::time, time::row},
    {types::date, date::row},
    {types::triple, triple::row},
    {types::bitset, bitset::row},
    {types::typeset, typeset::row},
    {types::symbol, symbol::row},
    {types::context, _context::row},
    {types::word, word::row},
    {types::set_word, word::set_word_row},
    {types::lit_word, word::lit_word_row},
    {types::get_word, word::get_word_row},
    {types::refinement, word::refinement_row},
    {types::issue, issue::row},
    {types::string, string::row},
    {types::binary, binary::row},
    {types::url, url::row},
    {types::file, file::row},
    {types::path, path::row},
    {types::lit_path, path::lit_path_row},
    {types::set_path, path::set_path_row},
    {types::get_path, path::get_path_row},
    {types::paren, paren::row},
    {types::object, object::row},
    {types::vector, vector::row},
    {types::port, port::row},
    {types::error, error::row},
    {types::native, native::native_row},
    {types::action, native::action_row},
    {types::op, native::op_row},
    {types::function, function::row},
    {types::routine, routine::row},
    {types::map, map::row},
    {types::hash, hash::row},
    {types::money, money::row},
    {types::pair, pair::row},
    {types::percent, percent::row},
    {types::point2d, point2d::row},
    {types::point3d, point3d::row},
    {types::tuple, tuple::row},
    {types::tag, tag::row},
    {types::email, email::row},
    {types::ref, ref::row},
    {types::handle, handle::row},
    {types::image, image::row},
};

}  // namespace

void register_datatypes() { registry::register_all(providers, sizeof providers / sizeof providers[0]); }

}  // namespace kel::app
