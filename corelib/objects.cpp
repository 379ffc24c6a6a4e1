// The stand-in's zip output stream, on wxWidgets' zip stream, and its document
// object.
#include <wx/filename.h>
#include <wx/wfstream.h>
#include <wx/zipstrm.h>

#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "corelib/vrel_core.h"

namespace vrel_core {

class ZipStream {
 public:
  explicit ZipStream(const char* path) : file_(wxString::FromUTF8(path)), zip_(file_, -1, wxConvUTF8) {}

  bool Ok() const { return file_.IsOk(); }

  // One entry, "<second>/<name>" (just `name` without a second text), deflated.
  // wx's stream stores instead an entry that deflate would not shrink (a few bytes),
  // even when asked to deflate it; readers read both alike.
  bool Add(const void* data, size_t n, const char* name, const char* second) {
    std::lock_guard<std::mutex> lock(mutex_);
    wxString path = wxString::FromUTF8(name);
    if (second != nullptr && second[0] != '\0') path = wxString::FromUTF8(second) + "/" + path;
    if (!zip_.PutNextEntry(path)) return false;
    bool written = n == 0 || zip_.Write(data, n).LastWrite() == n;
    return zip_.CloseEntry() && written && zip_.IsOk();
  }

  bool Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    bool zipped = zip_.Close();
    return file_.Close() && zipped;
  }

 private:
  std::mutex mutex_;  // entries from several threads do not interleave
  wxFFileOutputStream file_;
  wxZipOutputStream zip_;
};

class Dom {
 public:
  explicit Dom(const char* root) : root_(root) {}

  // "<root>/<plugin>/<file>", composed by wxFileName.
  std::string PluginFile(const char* plugin, const char* file) const {
    wxFileName path(wxString::FromUTF8(root_.c_str()), wxString::FromUTF8(file));
    path.AppendDir(wxString::FromUTF8(plugin));
    return std::string(path.GetFullPath().utf8_str());
  }

 private:
  std::string root_;
};

ZipStream* OpenZipStream(const char* path) {
  try {
    ZipStream* z = new ZipStream(path);
    if (z->Ok()) return z;
    delete z;
  } catch (...) {
  }
  return nullptr;
}

bool CloseZipStream(ZipStream* stream) {
  if (stream == nullptr) return false;
  bool ok = false;
  try {
    ok = stream->Close();
  } catch (...) {
  }
  delete stream;
  return ok;
}

Dom* NewDom(const char* root) {
  try {
    return new Dom(root);
  } catch (...) {
    return nullptr;
  }
}

void DeleteDom(Dom* dom) { delete dom; }

}  // namespace vrel_core

int VrelCore_CZipOutputStream_AddFromMemory(void* stream, const void* data, size_t n, const char* name,
                                            const char* second) {
  if (stream == nullptr || name == nullptr) return 0;
  try {
    return static_cast<vrel_core::ZipStream*>(stream)->Add(data, n, name, second) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

size_t VrelCore_CDom_GetPluginFile(void* dom, const char* plugin, const char* file, char* out, size_t cap) {
  if (cap == 0) return 0;
  out[0] = '\0';
  if (dom == nullptr || plugin == nullptr || file == nullptr) return 0;
  try {
    std::string path = static_cast<vrel_core::Dom*>(dom)->PluginFile(plugin, file);
    if (path.size() + 1 > cap) return 0;
    std::memcpy(out, path.c_str(), path.size() + 1);
    return path.size();
  } catch (...) {
    return 0;
  }
}
