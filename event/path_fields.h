// The sub-steps that derive a record's path fields from its names. The preparation
// steps of the dispatcher and AbstractEvent's own filling are each a different
// sequence of these (which fields, in which order, lower-cased or not is theirs to
// say); the steps themselves are written once, here.
#pragma once

#include "event/records.h"

namespace acdc::event {

// procPath and procFileName from procName.
void SplitProcName(AcEvent* ev);

// path and fileName from rlpath, in rlpath's present case.
void SplitRlpath(AcEvent* ev);

// procExtension from procName, lower-cased.
void TakeProcExtension(AcEvent* ev);

// fileExtension from fileName, case kept.
void TakeFileExtension(AcEvent* ev);

// rlpath from a whole text buffer (`name`, `oldname`): the buffer's text, the rest
// of rlpath cleared.
void CopyToRlpath(AcEvent* ev, const char* source);

}  // namespace acdc::event
