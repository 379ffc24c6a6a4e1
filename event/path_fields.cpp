#include "event/path_fields.h"

#include "event/text.h"

namespace acdc::event {

void SplitProcName(AcEvent* ev) { SplitPath(ev->procPath, ev->procFileName, ev->procName); }

void SplitRlpath(AcEvent* ev) { SplitPath(ev->path, ev->fileName, ev->rlpath); }

void TakeProcExtension(AcEvent* ev) {
  GetExtension(ev->procName, ev->procExtension);
  LowerCase(ev->procExtension);
}

void TakeFileExtension(AcEvent* ev) { GetExtension(ev->fileName, ev->fileExtension); }

void CopyToRlpath(AcEvent* ev, const char* source) { CopyText(ev->rlpath, kTextCapacity, source); }

}  // namespace acdc::event
