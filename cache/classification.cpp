#include "cache/classification.h"

#include <cinttypes>
#include <cstring>

#include "cache/process_cache.h"
#include "event/text.h"
#include "event/trace.h"

namespace acdc::cache {

namespace {

// Lists end in a null pointer; kNone is the empty list.
const char* const kNone[] = {nullptr};

const char* const kJavaExt[] = {"class", "jar", "ear", "war", nullptr};
const char* const kPythonExt[] = {"py", "pyc", "pyo", "pyz", nullptr};
const char* const kPhpExt[] = {"php", nullptr};
const char* const kWebExt[] = {"php", "py", "pyc", "pyo", "pyz", "pyd", nullptr};
const char* const kPerlExt[] = {"pl", nullptr};
const char* const kShellExt[] = {"ksh", "sh", "bash", "cron", "init", nullptr};
const char* const kPowerExt[] = {"ps1", "psm1", nullptr};
const char* const kBatchExt[] = {"bat", "cmd", nullptr};
const char* const kWscriptExt[] = {"wsh", "vb", "vbs", "js", "jse", "ws", "wsf", nullptr};
const char* const kDllExt[] = {"dll", nullptr};

const char* const kUnixAppPaths[] = {"/opt/IBM/WebSphere/AppServer/profiles", "/opt/apps/lsam18s/tmp/SMA", nullptr};
const char* const kTemp[] = {"\\temp\\", nullptr};
const char* const kSoftwareDistribution[] = {"\\windows\\softwaredistribution\\", nullptr};
const char* const kDotnetPaths[] = {"\\temp\\", "\\windows\\assembly", nullptr};
const char* const kSpoolsvPaths[] = {"\\temp\\", "\\windows\\system32\\spool\\drivers", "\\windows\\syswow64", nullptr};
const char* const kPatchPaths[] = {"\\kolm\\", nullptr};
const char* const kTempUsers[] = {"\\temp\\", "\\users\\", nullptr};
const char* const kMrtPaths[] = {"\\temp\\", "\\windows\\system32\\", nullptr};
const char* const kPoqexecPaths[] = {"\\temp\\", "\\program files", "\\windows\\system32", nullptr};
const char* const kTrustedInstallerPaths[] = {"\\temp\\",           "\\windows\\softwaredistribution",
                                              "\\windows\\winsxs",  "\\windows\\system32",
                                              "\\windows\\syswow64", "\\users",
                                              nullptr};
const char* const kMsiexecPaths[] = {"\\temp\\", "\\windows\\", "\\program files\\halvex", nullptr};
const char* const kTempSystem32[] = {"\\temp\\", "\\windows\\system32", nullptr};
const char* const kMsmpengPaths[] = {"\\temp\\", "\\programdata\\microsoft", "\\windows\\winsxs",
                                     "\\windows\\softwaredistribution\\", nullptr};
const char* const kKb2901983Paths[] = {"\\temp\\", "\\8b5bc664f2d37f112f84bdc9", nullptr};
const char* const kSvchostPaths[] = {"\\temp\\", "\\windows\\winsxs", "\\windows\\softwaredistribution", nullptr};
const char* const kTiworkerPaths[] = {"\\temp\\",
                                      "\\boot\\",
                                      "\\windows\\system32",
                                      "\\windows\\assembly",
                                      "\\windows\\winsxs",
                                      "\\windows\\softwaredistribution\\download",
                                      "\\windows\\microsoft.net",
                                      "\\windows\\inf",
                                      nullptr};
const char* const kDfsrPaths[] = {"\\system volume information\\", nullptr};
const char* const kAspentechPaths[] = {"\\aspentech\\", "\\safenet sentinel\\", nullptr};

const char* const kQuickFilterExtensions[] = {
    "class", "jar", "ear", "war", "py",  "pyc", "pyo", "pyz", "pyd", "php", "pl",  "ksh",      "sh", "bash",
    "cron",  "ps1", "psm1", "vb", "vbs", "vbscript", "ws", "wsf", "wsh", "bat", "cmd", "acm",  "ax", "cpl",
    "com",   "dll", "drv",  "efi", "exe", "mui", "ocx", "scr", "sys", "tsp", "inf", "ins", "inx", "isu",
    "job",   "jse", "msc",  "msi", "msp", "mst", "paf", "pif", "ini", "manifest", "so", "init",
};
static_assert(sizeof kQuickFilterExtensions / sizeof kQuickFilterExtensions[0] == 54, "54 quick-filter extensions");
constexpr size_t kLongestQuickFilterExtension = 8;  // "vbscript", "manifest"

enum RuleKind : uint8_t {
  kDirectoryAndName = 1,  // directory and file name equal
  kName = 2,              // file name equal
  kStemContains = 3,      // file name without its last extension contains the fragment
};

struct InterpreterRule {
  RuleKind kind;
  const char* directory;  // kDirectoryAndName only
  const char* name;       // the name, or the fragment of kStemContains
  uint64_t type;          // row of kProcessTypeTable
};

}  // namespace

constexpr ProcessType kProcessTypeTable[kProcessTypeCount] = {
    {"", false, false, false, kNone, kNone},
    {"normal", false, false, false, kNone, kNone},
    {"java", true, true, false, kJavaExt, kUnixAppPaths},
    {"python", true, false, false, kPythonExt, kNone},
    {"php", true, false, false, kPhpExt, kNone},
    {"web", true, false, false, kWebExt, kNone},
    {"perl", true, false, false, kPerlExt, kNone},
    {"shell", true, true, false, kShellExt, kUnixAppPaths},
    {"power", true, true, false, kPowerExt, kTemp},
    {"batch", true, false, false, kBatchExt, kNone},
    {"wscript", true, false, false, kWscriptExt, kNone},
    {"sihclient", true, true, false, kDllExt, kSoftwareDistribution},
    {"prelink", false, true, false, kNone, kNone},
    {"dotnet", false, true, false, kNone, kDotnetPaths},
    {"spoolsv", false, true, false, kNone, kSpoolsvPaths},
    {"patch", false, true, false, kNone, kPatchPaths},
    {"wmiprvse", false, true, false, kNone, kTemp},
    {"sdiagnhost", false, true, false, kNone, kTemp},
    {"mpam", false, true, false, kNone, kTemp},
    {"cleanmgr", false, true, false, kNone, kTempUsers},
    {"dism", false, true, false, kNone, kTempUsers},
    {"ie", false, true, false, kNone, kTempUsers},
    {"mrt", false, true, false, kNone, kMrtPaths},
    {"poqexec", false, true, false, kNone, kPoqexecPaths},
    {"trustedinstaller", false, true, false, kNone, kTrustedInstallerPaths},
    {"msiexec", false, true, false, kNone, kMsiexecPaths},
    {"mpsigstub", false, true, false, kNone, kTempSystem32},
    {"msmpeng", false, true, false, kNone, kMsmpengPaths},
    {"kb2901983", false, true, false, kNone, kKb2901983Paths},
    {"kb890830", false, true, false, kNone, kTempSystem32},
    {"svchost", false, true, false, kNone, kSvchostPaths},
    {"tiworker", false, true, false, kNone, kTiworkerPaths},
    {"dfsr", false, true, false, kNone, kDfsrPaths},
    {"aspentech", false, true, false, kNone, kAspentechPaths},
};

namespace {

constexpr bool SameText(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

// A rule names its type; the row is found by that name when the table is compiled,
// so a misspelt name stops the build instead of classifying as "normal".
constexpr uint64_t TypeNamed(const char* name) {
  for (uint64_t i = 1; i < kProcessTypeCount; ++i)
    if (SameText(kProcessTypeTable[i].name, name)) return i;
  return 0;
}

constexpr InterpreterRule kInterpreterTable[] = {
    {kName, nullptr, "powershell.exe", TypeNamed("power")},
    {kName, nullptr, "powershell_ise.exe", TypeNamed("power")},
    {kName, nullptr, "cmd.exe", TypeNamed("batch")},
    {kName, nullptr, "cscript.exe", TypeNamed("wscript")},
    {kName, nullptr, "wscript.exe", TypeNamed("wscript")},
    {kName, nullptr, "mscorsvw.exe", TypeNamed("dotnet")},
    {kName, nullptr, "tiworker.exe", TypeNamed("tiworker")},
    {kName, nullptr, "wmiprvse.exe", TypeNamed("wmiprvse")},
    {kName, nullptr, "spoolsv.exe", TypeNamed("spoolsv")},
    {kName, nullptr, "trustedinstaller.exe", TypeNamed("trustedinstaller")},
    {kName, nullptr, "RemoteFXvGPUDisablement.exe", TypeNamed("trustedinstaller")},
    {kName, nullptr, "updateplatform.exe", TypeNamed("trustedinstaller")},
    {kName, nullptr, "csc.exe", TypeNamed("trustedinstaller")},
    {kName, nullptr, "msiexec.exe", TypeNamed("msiexec")},
    {kName, nullptr, "mpsigstub.exe", TypeNamed("mpsigstub")},
    {kName, nullptr, "sdiagnhost.exe", TypeNamed("sdiagnhost")},
    {kName, nullptr, "msmpeng.exe", TypeNamed("msmpeng")},
    {kName, nullptr, "wuauclt.exe", TypeNamed("msmpeng")},
    {kName, nullptr, "cleanmgr.exe", TypeNamed("cleanmgr")},
    {kName, nullptr, "mrt.exe", TypeNamed("mrt")},
    {kName, nullptr, "patch.exe", TypeNamed("patch")},
    {kName, nullptr, "dism.exe", TypeNamed("dism")},
    {kName, nullptr, "taskhostw.exe", TypeNamed("svchost")},
    {kName, nullptr, "svchost.exe", TypeNamed("svchost")},
    {kName, nullptr, "poqexec.exe", TypeNamed("poqexec")},
    {kName, nullptr, "sh", TypeNamed("shell")},
    {kName, nullptr, "sihclient.exe", TypeNamed("sihclient")},
    {kName, nullptr, "dfsrs.exe", TypeNamed("dfsr")},
    {kName, nullptr, "processexplorer.exe", TypeNamed("aspentech")},
    {kName, nullptr, "aspensplash.exe", TypeNamed("aspentech")},
    {kName, nullptr, "iqtask.exe", TypeNamed("aspentech")},
    {kStemContains, nullptr, "kb2901983", TypeNamed("kb2901983")},
    {kStemContains, nullptr, "kb890830", TypeNamed("kb890830")},
    {kStemContains, nullptr, "mpam-", TypeNamed("mpam")},
    {kStemContains, nullptr, "ie11-windows", TypeNamed("ie")},
    {kStemContains, nullptr, "java", TypeNamed("java")},
    {kStemContains, nullptr, "sma_lsam", TypeNamed("java")},
    {kStemContains, nullptr, "python", TypeNamed("python")},
    {kStemContains, nullptr, "php", TypeNamed("php")},
    {kStemContains, nullptr, "nginx", TypeNamed("web")},
    {kStemContains, nullptr, "apache2", TypeNamed("web")},
    {kStemContains, nullptr, "httpd", TypeNamed("web")},
    {kStemContains, nullptr, "lighttpd", TypeNamed("web")},
    {kStemContains, nullptr, "perl", TypeNamed("perl")},
    {kStemContains, nullptr, "bash", TypeNamed("shell")},
    {kStemContains, nullptr, "dash", TypeNamed("shell")},
    {kStemContains, nullptr, "csh", TypeNamed("shell")},
    {kStemContains, nullptr, "ksh", TypeNamed("shell")},
    {kDirectoryAndName, "/usr/sbin/", "prelink", TypeNamed("prelink")},
};
constexpr size_t kRuleCount = sizeof kInterpreterTable / sizeof kInterpreterTable[0];
static_assert(kRuleCount == 49, "49 interpreter rules");

constexpr bool EveryRuleNamesAType() {
  for (const InterpreterRule& r : kInterpreterTable)
    if (r.type == 0) return false;
  return true;
}
static_assert(EveryRuleNamesAType(), "an interpreter rule names a type the table does not have");

inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

// `lower` (already lower case) equals `rule` with the rule's letters lowered: rule
// names are written as the vendors spell them.
bool EqualsRuleName(const char* lower, const char* rule) {
  while (*rule != '\0' && *lower == Lower(*rule)) ++lower, ++rule;
  return *lower == '\0' && *rule == '\0';
}

// Whether the first `n` bytes of `text` contain `fragment`. The stem is searched
// where it lies in the file name, so no copy limits its length.
bool ContainsWithin(const char* text, size_t n, const char* fragment) {
  size_t m = std::strlen(fragment);
  if (m > n) return false;
  for (size_t i = 0; i + m <= n; ++i)
    if (std::memcmp(text + i, fragment, m) == 0) return true;
  return false;
}

// Length of the stem: the name up to its last '.', unless that dot is the first
// character (".profile" is all stem).
size_t StemLength(const char* name) {
  size_t n = std::strlen(name);
  for (size_t i = n; i > 1; --i)
    if (name[i - 1] == '.') return i - 1;
  return n;
}

bool RuleMatches(const InterpreterRule& r, const char* dir, const char* file, size_t stem) {
  switch (r.kind) {
    case kDirectoryAndName:
      return std::strcmp(dir, r.directory) == 0 && EqualsRuleName(file, r.name);
    case kName:
      return EqualsRuleName(file, r.name);
    case kStemContains:
      return ContainsWithin(file, stem, r.name);
  }
  return false;
}

inline bool InTypeRange(uint64_t typeIndex) { return typeIndex >= 1 && typeIndex < kProcessTypeCount; }

}  // namespace

uint64_t ClassifyProcess(event::AcEvent* ev) {
  if (std::strcmp(ev->procExtension, "exe") != 0) {
    event::Trace(*ev, "ERROR: Process %s for event %" PRIu64 " does not have an 'exe' extension under Windows\n",
                 ev->procName, ev->evt->id);
    return 0;
  }
  event::LowerCase(ev->procPath);
  event::LowerCase(ev->procFileName);
  const size_t stem = StemLength(ev->procFileName);
  for (const InterpreterRule& r : kInterpreterTable) {
    if (RuleMatches(r, ev->procPath, ev->procFileName, stem)) {
      ev->skipProcessCache = kProcessTypeTable[r.type].skipProcessCache ? 1 : 0;
      return r.type;
    }
  }
  return kNormalType;
}

bool IsExtensionInterpreted(uint64_t typeIndex, const char* ext) {
  if (!InTypeRange(typeIndex)) return false;
  for (const char* const* e = kProcessTypeTable[typeIndex].extensions; *e != nullptr; ++e)
    if (std::strcmp(ext, *e) == 0) return true;
  return false;
}

bool IsTrustedPath(uint64_t typeIndex, const char* path, FILE* trace) {
  if (!InTypeRange(typeIndex) || !kProcessTypeTable[typeIndex].trustedPathsEnabled || path[0] == '\0')
    return false;
  if (trace != nullptr) std::fputs("Checking if path is trusted location\n", trace);
  const char* const* fragments = kProcessTypeTable[typeIndex].trustedPaths;
  if (*fragments == nullptr) return false;
  char lower[event::kTextCapacity];
  size_t n = strnlen(path, sizeof lower - 1);
  std::memcpy(lower, path, n);
  lower[n] = '\0';
  event::LowerCaseN(lower, n);
  for (const char* const* f = fragments; *f != nullptr; ++f) {
    if (std::strstr(lower, *f) != nullptr) {
      if (trace != nullptr) std::fprintf(trace, "Path '%s' is trusted\n", lower);
      return true;
    }
    if (trace != nullptr)
      std::fprintf(trace, "\tPath '%s' does not match trusted path option '%s' | Try next trusted option\n", lower, *f);
  }
  if (trace != nullptr) std::fprintf(trace, "Path '%s' is not trusted\n", lower);
  return false;
}

bool QuickDriftFilter(const char* ext) {
  // Compared whole: an extension longer than every entry cannot be one, and cutting
  // it could make it one.
  size_t n = strnlen(ext, kLongestQuickFilterExtension + 1);
  if (n == 0 || n > kLongestQuickFilterExtension) return false;
  char lower[kLongestQuickFilterExtension + 1];
  std::memcpy(lower, ext, n);
  lower[n] = '\0';
  event::LowerCaseN(lower, n);
  for (const char* e : kQuickFilterExtensions)
    if (std::strcmp(lower, e) == 0) return true;
  return false;
}

bool QuickIMFilter(const char* ext, const char* path, const char* prefixList) {
  if (QuickDriftFilter(ext)) return true;
  // The pieces are compared where they lie in the list: no copy, no length limit.
  const char* piece = prefixList;
  while (*piece != '\0') {
    const char* end = std::strchr(piece, ';');
    size_t len = end != nullptr ? static_cast<size_t>(end - piece) : std::strlen(piece);
    if (len > 0 && std::strncmp(path, piece, len) == 0) return true;
    if (end == nullptr) break;
    piece = end + 1;
  }
  return false;
}

uint64_t ClassifyImage(event::EventRecord* scratch, uint64_t pid, const char* image, size_t len, bool* skip) {
  event::ResetEventRecord(scratch);
  event::AcEvent& ev = scratch->event;
  event::CopyTextN(ev.procName, event::kTextCapacity, image, len);
  event::SplitPath(ev.procPath, ev.procFileName, ev.procName);
  // Unlike the event path, the extension keeps its case here: "CMD.EXE" is no "exe".
  event::GetExtension(ev.procFileName, ev.procExtension);
  event::GetExtension(ev.procFileName, ev.fileExtension);
  uint64_t type = ClassifyProcess(&ev);
  *skip = ev.skipProcessCache != 0;
  if (type == kNormalType || (type > kNormalType && !*skip)) AddProcess(pid, type, ev.procFileName);
  return type;
}

}  // namespace acdc::cache
