// csv_rows: the CSV codec's compiled reading and writing of plain rows, the
// routines `csv-read` (what `load-csv` does without refinements other than
// /with and /quote) and `csv-write` (the rows `to-csv` writes from a block
// of blocks). Both follow the codec's Kel rules to the character; they answer
// none for what they leave to those rules: a delimiter or quote character
// that has case variants (whose doubled quotes the Kel code replaces without
// regard to case), text the grammar stops on, rows of unequal length, a
// record that is no block. The CSV context of the codecs phase binds them by
// name.
#pragma once
#include <cstdint>

namespace kel::csv_rows {

// Their slots in the routine table: routine_numbers::csv_rows and the next.

// Start-up step (run by the library routines' install): fills the table slots.
void install();

}  // namespace kel::csv_rows
