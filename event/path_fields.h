// The sub-steps that derive a record's path fields from its names. The preparation
// steps of the dispatcher and AbstractEvent's own filling are each a different
// sequence of these (which fields, in which order, lower-cased or not is theirs to
// say); the steps themselves are written once, here.
#pragma once

#include <cstddef>

#include "event/records.h"

namespace acdc::event {

// The steps take and give the lengths they know, so that no text is measured twice
// on the event path.

// procPath and procFileName from procName (`n` bytes); returns procFileName's length.
size_t SplitProcName(AcEvent* ev, size_t n);

// path and fileName from rlpath (`n` bytes), in rlpath's present case; returns
// fileName's length.
size_t SplitRlpath(AcEvent* ev, size_t n);

// procExtension from procName (`n` bytes), lower-cased.
void TakeProcExtension(AcEvent* ev, size_t n);

// fileExtension from fileName (`n` bytes), case kept.
void TakeFileExtension(AcEvent* ev, size_t n);

// rlpath from a whole text buffer (`name`, `oldname`): the buffer's text, the rest
// of rlpath cleared. Returns rlpath's length.
size_t CopyToRlpath(AcEvent* ev, const char* source);

}  // namespace acdc::event
