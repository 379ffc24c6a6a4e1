#include "event/path_fields.h"

#include <cstring>

#include "event/text.h"

namespace acdc::event {

size_t SplitProcName(AcEvent* ev, size_t n) { return SplitPathN(ev->procPath, ev->procFileName, ev->procName, n); }

size_t SplitRlpath(AcEvent* ev, size_t n) { return SplitPathN(ev->path, ev->fileName, ev->rlpath, n); }

void TakeProcExtension(AcEvent* ev, size_t n) {
  GetExtensionN(ev->procName, n, ev->procExtension);
  LowerCaseN(ev->procExtension, strnlen(ev->procExtension, kExtensionCapacity));
}

void TakeFileExtension(AcEvent* ev, size_t n) { GetExtensionN(ev->fileName, n, ev->fileExtension); }

size_t CopyToRlpath(AcEvent* ev, const char* source) { return CopyText(ev->rlpath, kTextCapacity, source); }

}  // namespace acdc::event
