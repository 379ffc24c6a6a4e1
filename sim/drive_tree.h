// The files and process images a workload names, laid out under the folder that
// stands for drive C, so that the library's file status and process image lookups
// find what the events name.
//
// One spelling per path: Windows paths are case-insensitive, so every path (and
// every folder on the way) gets one spelling under the root, whichever came first:
// an entry already on disk (the exact spelling when there is one, else the bytewise
// smallest, as the library's own lookup chooses), else the first spelling the
// workload used. Every noted path gets a file, except:
// - a path that is also used as a folder of another noted path (or meets a file on
//   disk where it needs a folder, or a folder where it needs a file);
// - a file path that names an image: the placeholder copy stands there already.
// Both are skipped and counted. Files are created once and never changed by the
// events; they stay for later runs, as do the image copies.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace acdc::sim {

struct DriveCounts {
  uint64_t files = 0;               // distinct file paths noted
  uint64_t created = 0;             // files made
  uint64_t existing = 0;            // files that were there already
  uint64_t skipped_folder = 0;      // paths used both as file and as folder
  uint64_t skipped_placeholder = 0; // file paths that name an image
  uint64_t images = 0;              // distinct image paths noted
  uint64_t images_placed = 0;       // image paths holding a placeholder copy
  uint64_t images_skipped = 0;      // image paths that clash with a folder
  uint64_t not_on_drive = 0;        // texts that are no path on drive C (rows, not distinct)
  uint64_t unusable = 0;            // paths on drive C that cannot name a file
};

class DriveTree {
 public:
  enum class Kind { kFile, kImage };
  enum class Note { kOnDrive, kNotOnDrive, kUnusable };

  // `root` is the folder behind C:, absolute, without a trailing slash.
  explicit DriveTree(std::string root);

  // Notes a Windows path. A path on drive C is "C:\" (either case), then components
  // separated by backslashes, none empty, "." or ".." or holding a slash; a named
  // stream ("file.txt:name") stands for its file.
  Note Add(const std::string& win_path, Kind kind);

  // Creates the folders and files, and copies `placeholder` (an executable) to every
  // image path. Returns false with the reason when the root itself is unusable.
  bool Build(const std::string& placeholder, std::string* why);

  // For a noted path: its key (the lower-cased path below the root, components
  // joined by '/'), or "" when it is not on drive C or unusable.
  std::string Key(const std::string& win_path) const;
  // Where a key lives: the absolute host path, and the Windows spelling that the
  // library reports for it ("C:\" and the spelled components).
  std::string HostPath(const std::string& key) const;
  std::string WindowsPath(const std::string& key) const;
  // Whether an image key holds its placeholder copy after Build.
  bool ImagePlaced(const std::string& key) const;

  const DriveCounts& counts() const { return counts_; }

 private:
  struct Entry {
    std::string spelled;  // relative host path, as spelled under the root
    bool image = false;
    bool file = false;
    bool folder = false;  // a folder of another noted path
    bool placed = false;
  };
  // A folder's entries by lower-cased name: as found on disk, and as chosen.
  struct Folder {
    bool listed = false;
    std::unordered_map<std::string, std::vector<std::string>> on_disk;
    std::unordered_map<std::string, std::string> names;
  };

  // The components of a path on drive C, or the reason it is not one.
  Note Split(const std::string& win_path, std::vector<std::string>* components) const;
  std::string SpellIn(const std::string& folder_key, const std::string& folder_spelled, const std::string& name);
  bool MakeFolders(const std::string& spelled);
  bool PlaceImage(Entry& e, const std::string& placeholder);
  void MakeFile(const std::string& key, Entry& e);

  std::string root_;
  std::map<std::string, Entry> entries_;  // by key, in key order: folders before their contents
  std::unordered_map<std::string, Folder> folders_;  // by folder key ("" is the root)
  DriveCounts counts_;
};

// ASCII lower case, as Windows folds names for this purpose.
std::string AsciiLower(std::string text);

}  // namespace acdc::sim
