#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <variant>
#include <vector>

#include "importlib/file_finder.hpp"

namespace modweave::importlib {
namespace {

namespace fs = std::filesystem;

class FileFinderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "modweave-finder-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    void file(const std::string& relative) {
        fs::create_directories((root_ / relative).parent_path());
        std::ofstream(root_ / relative) << "";
    }
    void folder(const std::string& relative) { fs::create_directories(root_ / relative); }

    DirectoryMatch find(const std::string& fullname) {
        return find_in_directory(files_, root_.string() + "/", suffixes_, fullname);
    }
    std::string path(const std::string& relative) const { return (root_ / relative).string(); }

    fs::path root_;
    FileSystemView files_;
    std::vector<std::string> suffixes_{".cpython-312-x86_64-linux-gnu.so", ".so", ".py", ".pyc"};
};

TEST_F(FileFinderTest, FindsWhatTheInterpreterFinds) {
    file("pkg/__init__.py");
    file("pkg.py");  // a package wins over a module of the same name
    file("ext.so");
    file("ext.py");  // suffixes in the finder's order: the extension first
    file("compiled.pyc");
    folder("portion/sub");  // no __init__: a namespace portion
    folder("notafile.py");  // a folder named like a module file is no module
    file("Case.py");        // names are matched exactly

    const auto module = [&](const std::string& name) {
        const DirectoryMatch match = find(name);
        return std::get_if<FoundModule>(&match) ? std::get<FoundModule>(match).spec : ModuleSpec{};
    };
    const ModuleSpec package = module("top.pkg");
    EXPECT_EQ(package.origin, path("pkg/__init__.py"));
    EXPECT_EQ(package.parent, "top.pkg");
    EXPECT_EQ(package.submodule_search_locations, std::vector<std::string>{path("pkg")});
    EXPECT_EQ(module("ext").origin, path("ext.so"));
    EXPECT_EQ(module("ext").parent, "");
    EXPECT_EQ(module("a.compiled").origin, path("compiled.pyc"));
    EXPECT_EQ(module("a.compiled").parent, "a");

    const DirectoryMatch portion = find("portion");
    ASSERT_TRUE(std::holds_alternative<NamespacePortion>(portion));
    EXPECT_EQ(std::get<NamespacePortion>(portion).location, path("portion"));
    for (const char* missing : {"notafile", "case", "absent", "pkg.absent", ""}) {
        EXPECT_TRUE(std::holds_alternative<std::monostate>(find(missing))) << missing;
    }
    EXPECT_TRUE(files_.folder(path("portion")).is_directory());
    EXPECT_FALSE(files_.folder(path("ext.py")).is_directory());
    EXPECT_FALSE(files_.folder(path("absent")).is_directory());
}

// A folder larger than one read of the system's entries, and than the listing's first tables.
TEST_F(FileFinderTest, ListsLargeFoldersWhole) {
    constexpr int kFiles = 2500;
    const auto name = [](int index) {
        return "module_with_a_longish_name_" + std::to_string(index);
    };
    for (int index = 0; index < kFiles; ++index) {
        if (index % 500 == 0) {
            folder(name(index));
            file(name(index) + "/__init__.py");
        } else {
            file(name(index) + ".py");
        }
    }
    for (int index = 0; index < kFiles; ++index) {
        const DirectoryMatch match = find(name(index));
        ASSERT_TRUE(std::holds_alternative<FoundModule>(match)) << index;
        EXPECT_EQ(std::get<FoundModule>(match).spec.origin,
                  path(name(index) + (index % 500 == 0 ? "/__init__.py" : ".py")));
    }
    EXPECT_TRUE(std::holds_alternative<std::monostate>(find(name(kFiles))));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(find("module_with_a_longish_name_")));
}

TEST_F(FileFinderTest, KeepsAListingForItsRound) {
    file("early.py");
    EXPECT_TRUE(std::holds_alternative<FoundModule>(find("early")));
    file("late.py");  // the listing was read before this file came
    EXPECT_TRUE(std::holds_alternative<std::monostate>(find("late")));
    FileSystemView fresh;
    EXPECT_TRUE(std::holds_alternative<FoundModule>(
        find_in_directory(fresh, root_.string(), suffixes_, "late")));
}

// A later round reads a listing again only when the directory's time says it changed, and never
// trusts the time of a directory changed just before it was listed.
TEST_F(FileFinderTest, LaterRoundsReadChangedDirectoriesAgain) {
    const auto set_time = [&](std::time_t seconds) {
        const timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, root_.c_str(), times, 0), 0);
    };
    const std::time_t settled = std::time(nullptr) - 3600;
    file("first.py");
    set_time(settled);
    EXPECT_TRUE(std::holds_alternative<FoundModule>(find("first")));

    file("hidden.py");
    set_time(settled);  // changed, but the time does not show it: the listing stands
    files_.new_round();
    EXPECT_TRUE(std::holds_alternative<std::monostate>(find("hidden")));

    file("shown.py");  // the time moves on
    files_.new_round();
    EXPECT_TRUE(std::holds_alternative<FoundModule>(find("shown")));
    EXPECT_TRUE(std::holds_alternative<FoundModule>(find("hidden")));

    // Listed within moments of its last change: read again next round whatever its time says.
    const std::time_t recent = std::time(nullptr);
    set_time(recent);
    files_.new_round();
    EXPECT_TRUE(std::holds_alternative<std::monostate>(find("recent")));
    file("recent.py");
    set_time(recent);
    files_.new_round();
    EXPECT_TRUE(std::holds_alternative<FoundModule>(find("recent")));
}

TEST(JoinPath, JoinsAsTheImportSystemJoins) {
    EXPECT_EQ(join_path("/a/b", "c"), "/a/b/c");
    EXPECT_EQ(join_path("/a/b//", "c"), "/a/b/c");
    EXPECT_EQ(join_path("/", "c"), "/c");
}

}  // namespace
}  // namespace modweave::importlib
