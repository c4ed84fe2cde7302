// compaction: the moving half of the collector, run after marking.
//
// Series frames are visited in ascending address order. Within a frame the
// buffers are walked from its start to its free pointer: a dead buffer's node
// is released; a live buffer that is not pinned moves into the previous
// frame's free room when that room is large (over 52,428 bytes) and the buffer
// fits, else slides down to the end of what was kept before it; a pinned
// buffer stays where it is and the gap before it becomes a filler (a buffer
// header that is not in use, so every frame stays tiled by buffers from its
// start to its free pointer). A moved buffer's node is pointed at its new
// place; its head and tail are offsets, so nothing else changes. A frame left
// empty is released unless it is the last of the list; a frame holding a
// pinned buffer is never empty. Node ids never move, so there is no node
// relocation and no pointer fix-up: nothing a stack word points at moves.
//
// Under the stress check every live buffer that is not pinned moves: one that
// would stay (no gap before it) goes to the previous frame's free room, or
// past the frame's own used part, whichever has room; the space it leaves is
// then a gap the buffers after it slide into. Vacated space (fillers and the
// room above the new free pointer) is filled with 0xDB.
//
// Also here: the big-frame sweep, the node-frame sweep (empty node frames give
// their pages back) and the heap verifier.
#pragma once
#include <cstdint>

namespace kel::collector {

void compact_series_frames(bool stress);
// Big buffers: a marked one loses its mark and pin, an unmarked one is
// released with its node.
void sweep_big_frames();
// Releases every empty node frame but one, picks the current node frame and
// keeps each frame's usage history.
void sweep_node_frames();

// Byte filled into vacated space under the stress check.
constexpr uint8_t vacated_byte = 0xDB;

}  // namespace kel::collector
