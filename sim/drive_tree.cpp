#include "sim/drive_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace acdc::sim {

namespace {

constexpr size_t kNameMax = 255;  // bytes in one component on Linux file systems

bool IsFolder(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteAll(int fd, const char* bytes, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool CopyExecutable(const std::string& from, const std::string& to) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
  bool ok = out >= 0;
  char buf[65536];
  while (ok) {
    ssize_t n = read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = WriteAll(out, buf, static_cast<size_t>(n));
  }
  close(in);
  if (out >= 0 && close(out) != 0) ok = false;
  return ok;
}

}  // namespace

std::string AsciiLower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return text;
}

DriveTree::DriveTree(std::string root) : root_(std::move(root)) {}

DriveTree::Note DriveTree::Split(const std::string& win_path, std::vector<std::string>* components) const {
  components->clear();
  if (win_path.size() < 3 || (win_path[0] != 'C' && win_path[0] != 'c') || win_path[1] != ':' ||
      win_path[2] != '\\')
    return Note::kNotOnDrive;
  size_t start = 3;
  for (;;) {
    size_t end = win_path.find('\\', start);
    std::string c = win_path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    bool last = end == std::string::npos;
    // A named stream is part of its file; elsewhere a colon names nothing Windows has.
    size_t colon = c.find(':');
    if (colon != std::string::npos) {
      if (!last) return Note::kUnusable;
      c.resize(colon);
    }
    if (c.empty() || c == "." || c == ".." || c.size() > kNameMax || c.find('/') != std::string::npos ||
        c.find('\0') != std::string::npos)
      return Note::kUnusable;
    components->push_back(c);
    if (last) return Note::kOnDrive;
    start = end + 1;
  }
}

std::string DriveTree::SpellIn(const std::string& folder_key, const std::string& folder_spelled,
                               const std::string& name) {
  Folder& f = folders_[folder_key];
  if (!f.listed) {
    f.listed = true;
    std::string path = folder_spelled.empty() ? root_ : root_ + "/" + folder_spelled;
    if (DIR* dir = opendir(path.c_str())) {
      while (struct dirent* d = readdir(dir)) {
        std::string entry = d->d_name;
        if (entry != "." && entry != "..") f.on_disk[AsciiLower(entry)].push_back(entry);
      }
      closedir(dir);
    }
  }
  std::string lower = AsciiLower(name);
  auto chosen = f.names.find(lower);
  if (chosen != f.names.end()) return chosen->second;
  // The first text that names an entry decides its spelling for the whole run.
  std::string spelling = name;
  auto disk = f.on_disk.find(lower);
  if (disk != f.on_disk.end()) {
    const std::vector<std::string>& names = disk->second;
    if (std::find(names.begin(), names.end(), name) == names.end())
      spelling = *std::min_element(names.begin(), names.end());
  }
  f.names.emplace(lower, spelling);
  return spelling;
}

DriveTree::Note DriveTree::Add(const std::string& win_path, Kind kind) {
  std::vector<std::string> components;
  Note note = Split(win_path, &components);
  if (note == Note::kNotOnDrive) ++counts_.not_on_drive;
  if (note == Note::kUnusable) ++counts_.unusable;
  if (note != Note::kOnDrive) return note;
  std::string key, spelled;
  for (size_t i = 0; i < components.size(); ++i) {
    std::string name = SpellIn(key, spelled, components[i]);
    key += (i == 0 ? "" : "/") + AsciiLower(components[i]);
    spelled += (i == 0 ? "" : "/") + name;
    Entry& e = entries_[key];
    e.spelled = spelled;
    if (i + 1 < components.size()) {
      e.folder = true;
    } else if (kind == Kind::kImage) {
      if (!e.image) ++counts_.images;
      e.image = true;
    } else {
      if (!e.file) ++counts_.files;
      e.file = true;
    }
  }
  return Note::kOnDrive;
}

bool DriveTree::MakeFolders(const std::string& spelled) {
  std::string path = root_;
  size_t start = 0;
  while (start < spelled.size()) {
    size_t end = spelled.find('/', start);
    if (end == std::string::npos) end = spelled.size();
    path += "/" + spelled.substr(start, end - start);
    if (mkdir(path.c_str(), 0755) != 0 && (errno != EEXIST || !IsFolder(path))) return false;
    start = end + 1;
  }
  return true;
}

bool DriveTree::PlaceImage(Entry& e, const std::string& placeholder) {
  size_t slash = e.spelled.rfind('/');
  std::string parent = slash == std::string::npos ? "" : e.spelled.substr(0, slash);
  if (!MakeFolders(parent)) return false;
  std::string target = root_ + "/" + e.spelled;
  if (IsFolder(target)) return false;
  // Written beside it and renamed over it: a running copy cannot be opened for
  // writing, and a reader never sees half a program.
  std::string temp = (parent.empty() ? root_ : root_ + "/" + parent) + "/.acdc-sim-" + std::to_string(getpid());
  if (!CopyExecutable(placeholder, temp) || rename(temp.c_str(), target.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  e.placed = true;
  return true;
}

void DriveTree::MakeFile(const std::string& key, Entry& e) {
  size_t slash = e.spelled.rfind('/');
  if (!MakeFolders(slash == std::string::npos ? "" : e.spelled.substr(0, slash))) {
    ++counts_.skipped_folder;  // a file on disk stands where a folder is needed
    return;
  }
  std::string path = root_ + "/" + e.spelled;
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      ++counts_.skipped_folder;
    } else {
      ++counts_.existing;
    }
    return;
  }
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    ++counts_.unusable;
    return;
  }
  // Not empty: an empty file is a case of its own for the library.
  std::string content = WindowsPath(key) + "\n";
  bool ok = WriteAll(fd, content.data(), content.size());
  close(fd);
  if (ok) {
    ++counts_.created;
  } else {
    ++counts_.unusable;
  }
}

bool DriveTree::Build(const std::string& placeholder, std::string* why) {
  if (mkdir(root_.c_str(), 0755) != 0 && (errno != EEXIST || !IsFolder(root_))) {
    *why = "cannot use " + root_ + " as drive C: it is not a folder and cannot be made one";
    return false;
  }
  // Images first, so that a file path naming one finds the copy in place.
  for (auto& [key, e] : entries_) {
    if (!e.image) continue;
    if (!e.folder && PlaceImage(e, placeholder)) {
      ++counts_.images_placed;
    } else {
      ++counts_.images_skipped;
    }
  }
  for (auto& [key, e] : entries_) {
    if (!e.file) continue;
    if (e.folder) {
      ++counts_.skipped_folder;
    } else if (e.image) {
      ++counts_.skipped_placeholder;
    } else {
      MakeFile(key, e);
    }
  }
  return true;
}

std::string DriveTree::Key(const std::string& win_path) const {
  std::vector<std::string> components;
  if (Split(win_path, &components) != Note::kOnDrive) return "";
  std::string key;
  for (size_t i = 0; i < components.size(); ++i) key += (i == 0 ? "" : "/") + AsciiLower(components[i]);
  return key;
}

std::string DriveTree::HostPath(const std::string& key) const {
  auto it = entries_.find(key);
  return it == entries_.end() ? "" : root_ + "/" + it->second.spelled;
}

std::string DriveTree::WindowsPath(const std::string& key) const {
  auto it = entries_.find(key);
  if (it == entries_.end()) return "";
  std::string out = "C:\\" + it->second.spelled;
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

bool DriveTree::ImagePlaced(const std::string& key) const {
  auto it = entries_.find(key);
  return it != entries_.end() && it->second.placed;
}

}  // namespace acdc::sim
