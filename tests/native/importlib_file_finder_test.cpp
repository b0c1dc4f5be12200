#include <gtest/gtest.h>

#include <cstdlib>
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
}

TEST_F(FileFinderTest, KeepsWhatItSawForItsLifetime) {
    file("early.py");
    EXPECT_TRUE(std::holds_alternative<FoundModule>(find("early")));
    file("late.py");  // the listing was read before this file came
    EXPECT_TRUE(std::holds_alternative<std::monostate>(find("late")));
    FileSystemView fresh;
    EXPECT_TRUE(std::holds_alternative<FoundModule>(
        find_in_directory(fresh, root_.string(), suffixes_, "late")));
}

TEST(JoinPath, JoinsAsTheImportSystemJoins) {
    EXPECT_EQ(join_path("/a/b", "c"), "/a/b/c");
    EXPECT_EQ(join_path("/a/b//", "c"), "/a/b/c");
    EXPECT_EQ(join_path("/", "c"), "/c");
}

}  // namespace
}  // namespace modweave::importlib
