// Reading ahead: whatever the reader thread has done, read, or left in hand when a file is taken,
// every take gives what reading the file on the spot gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/module_reader.hpp"
#include "core_builder_support.hpp"

namespace modweave::core {
namespace {

using builder_test::ScratchDirectory;

void expect_same(const ReadModule& taken, const ReadModule& direct, const std::string& path) {
    EXPECT_EQ(taken.outcome, direct.outcome) << path;
    EXPECT_EQ(taken.imports, direct.imports) << path;
    EXPECT_EQ(taken.reason, direct.reason) << path;
    EXPECT_EQ(taken.text, direct.text) << path;
    EXPECT_EQ(taken.foreign.encoding, direct.foreign.encoding) << path;
    EXPECT_EQ(taken.foreign.bytes, direct.foreign.bytes) << path;
}

TEST(ModuleReaderTest, EveryTakeGivesWhatReadingOnTheSpotGives) {
    ScratchDirectory directory;
    std::vector<std::string> paths;
    for (int index = 0; index < 200; ++index) {
        // Large files now and then, so that the walk often finds the one it needs in hand.
        const std::string filler(index % 7 == 0 ? 400000 : 10, '#');
        const std::string body =
            "import m" + std::to_string(index + 1) + "\nfrom . import x\n#" + filler + "\n";
        paths.push_back(directory.write("m" + std::to_string(index) + ".py", body));
    }
    paths.push_back(directory.write("latin.py", "# coding: latin-1\nimport caf\xe9\n"));
    paths.push_back(directory.write("foreign.py", "# coding: cp037\n"));
    paths.push_back(directory.write("bad.py", "import \xff\n"));
    paths.push_back((directory.path() / "missing.py").string());

    ModuleReader reader;
    for (const std::string& path : paths)
        reader.prefetch(path);
    reader.prefetch(paths.front());  // queued once only
    for (const std::string& path : paths)
        expect_same(reader.take(path), read_module(path), path);
    // Taken again, or never queued: read on the spot.
    expect_same(reader.take(paths[3]), read_module(paths[3]), paths[3]);
    const std::string unqueued = directory.write("late.py", "import late_target\n");
    expect_same(reader.take(unqueued), read_module(unqueued), unqueued);
}

TEST(ModuleReaderTest, TakingOutOfOrderLeavesTheRestReady) {
    ScratchDirectory directory;
    std::vector<std::string> paths;
    // More than the thread reads ahead before it waits for takes.
    for (int index = 0; index < 1100; ++index) {
        paths.push_back(directory.write("n" + std::to_string(index) + ".py",
                                        "import n" + std::to_string(index) + "_next\n"));
    }
    ModuleReader reader;
    for (const std::string& path : paths)
        reader.prefetch(path);
    // The last first: the walk reads the queued files on the way; the rest come after.
    for (auto path = paths.rbegin(); path != paths.rend(); ++path)
        expect_same(reader.take(*path), read_module(*path), *path);
}

}  // namespace
}  // namespace modweave::core
