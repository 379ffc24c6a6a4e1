// The simulator's layout of drive C: which texts are paths there, one spelling per
// path, and the files and image copies it makes or skips.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "sim/drive_tree.h"

namespace acdc::sim {
namespace {

class DriveTreeTest : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/acdc-drive-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    root_ = dir;
  }
  void TearDown() override { std::system(("rm -rf '" + root_ + "'").c_str()); }

  void MakeDir(const std::string& rel) { ASSERT_EQ(mkdir((root_ + "/" + rel).c_str(), 0755), 0) << rel; }
  void MakeFile(const std::string& rel) { std::ofstream(root_ + "/" + rel) << "x"; }
  std::string Read(const std::string& rel) {
    std::ifstream in(root_ + "/" + rel);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string root_;
};

TEST_F(DriveTreeTest, TakesOnlyPathsThatCanNameAFileOnDriveC) {
  DriveTree t(root_);
  using N = DriveTree::Note;
  struct Case {
    std::string path;
    N note;
    std::string key;
  };
  const Case cases[] = {
      {"C:\\Windows\\a.dll", N::kOnDrive, "windows/a.dll"},
      {"c:\\X", N::kOnDrive, "x"},
      {"C:\\Users\\f.exe:Zone.Identifier", N::kOnDrive, "users/f.exe"},
      {"C:\\" + std::string(255, 'N'), N::kOnDrive, std::string(255, 'n')},
      {"C:\\f:", N::kOnDrive, "f"},  // an empty stream name is the file's own data
      {"D:\\a", N::kNotOnDrive, ""},
      {"\\Device\\HarddiskVolume3\\a", N::kNotOnDrive, ""},
      {"System", N::kNotOnDrive, ""},
      {"C:", N::kNotOnDrive, ""},
      {"C:/a", N::kNotOnDrive, ""},
      {"C:\\", N::kUnusable, ""},
      {"C:\\a\\\\b", N::kUnusable, ""},
      {"C:\\a\\..\\b", N::kUnusable, ""},
      {"C:\\a\\.\\b", N::kUnusable, ""},
      {"C:\\a/b", N::kUnusable, ""},
      {"C:\\a:s\\b", N::kUnusable, ""},
      {"C:\\" + std::string(256, 'n'), N::kUnusable, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(t.Add(c.path, DriveTree::Kind::kFile), c.note) << c.path;
    EXPECT_EQ(t.Key(c.path), c.key) << c.path;
  }
  EXPECT_EQ(t.counts().not_on_drive, 5u);
  EXPECT_EQ(t.counts().unusable, 7u);
  EXPECT_EQ(t.counts().files, 5u);
}

TEST_F(DriveTreeTest, GivesEachPathOneSpelling) {
  for (const char* dir : {"Windows", "Windows/System32", "DATA", "Data", "logs", "Logs"}) MakeDir(dir);
  DriveTree t(root_);
  const std::pair<const char*, const char*> cases[] = {
      // What is on disk wins over the text.
      {"C:\\windows\\SYSTEM32\\cmd.exe", "C:\\Windows\\System32\\cmd.exe"},
      // Of two spellings on disk the exact one wins, else the bytewise smallest...
      {"C:\\logs\\a", "C:\\logs\\a"},
      {"C:\\data\\x", "C:\\DATA\\x"},
      // ...and the first text decides for the rest of the run.
      {"C:\\Data\\y", "C:\\DATA\\y"},
      {"C:\\LOGS\\b", "C:\\logs\\b"},
      // New names keep the first spelling the workload used.
      {"C:\\New\\A.txt", "C:\\New\\A.txt"},
      {"C:\\NEW\\a.TXT", "C:\\New\\A.txt"},
  };
  for (const auto& [text, spelled] : cases) {
    ASSERT_EQ(t.Add(text, DriveTree::Kind::kFile), DriveTree::Note::kOnDrive) << text;
    EXPECT_EQ(t.WindowsPath(t.Key(text)), spelled) << text;
  }
  EXPECT_EQ(t.HostPath(t.Key("C:\\new\\a.txt")), root_ + "/New/A.txt");
  EXPECT_EQ(t.counts().files, 6u);
}

TEST_F(DriveTreeTest, MakesFilesAndImageCopiesAndSkipsWhatClashes) {
  MakeFile("Existing.txt");
  MakeFile("Blocker");
  DriveTree t(root_);
  using K = DriveTree::Kind;
  t.Add("C:\\Windows\\System32\\svchost.exe", K::kImage);
  t.Add("C:\\Windows\\System32\\SVCHOST.EXE", K::kFile);          // names the placeholder
  t.Add("C:\\WER\\Report", K::kFile);                             // also a folder, below
  t.Add("C:\\WER\\Report\\a.wer", K::kFile);
  t.Add("C:\\existing.txt", K::kFile);
  t.Add("C:\\Blocker\\x", K::kFile);                              // a file on disk is in the way
  t.Add("C:\\Tools", K::kImage);                                  // an image that is a folder
  t.Add("C:\\Tools\\x.dll", K::kFile);
  std::string why;
  ASSERT_TRUE(t.Build("/bin/true", &why)) << why;

  const DriveCounts& c = t.counts();
  EXPECT_EQ((std::vector<uint64_t>{c.files, c.created, c.existing, c.skipped_folder, c.skipped_placeholder, c.images,
                                   c.images_placed, c.images_skipped}),
            (std::vector<uint64_t>{6, 2, 1, 2, 1, 2, 1, 1}));
  EXPECT_EQ(Read("WER/Report/a.wer"), "C:\\WER\\Report\\a.wer\n");
  EXPECT_EQ(Read("Tools/x.dll"), "C:\\Tools\\x.dll\n");
  EXPECT_EQ(Read("Existing.txt"), "x");
  EXPECT_TRUE(t.ImagePlaced(t.Key("C:\\Windows\\System32\\svchost.exe")));
  EXPECT_FALSE(t.ImagePlaced(t.Key("C:\\Tools")));
  struct stat copy, original;
  ASSERT_EQ(stat((root_ + "/Windows/System32/svchost.exe").c_str(), &copy), 0);
  ASSERT_EQ(stat("/bin/true", &original), 0);
  EXPECT_EQ(copy.st_size, original.st_size);
  EXPECT_EQ(copy.st_mode & 0777, 0755u);
  EXPECT_EQ(access((root_ + "/Windows/System32/.acdc-sim-" + std::to_string(getpid())).c_str(), F_OK), -1);
}

TEST_F(DriveTreeTest, RefusesARootThatIsAFile) {
  MakeFile("plain");
  DriveTree t(root_ + "/plain");
  std::string why;
  EXPECT_FALSE(t.Build("/bin/true", &why));
  EXPECT_EQ(why, "cannot use " + root_ + "/plain as drive C: it is not a folder and cannot be made one");
}

}  // namespace
}  // namespace acdc::sim
