#include "datatypes/series.h"
namespace kel::series {
registry::registration row() {
    registry::registration r;
    r.id = types::series;
    r.name = "series!";
    return r;
}
}  // namespace kel::series
