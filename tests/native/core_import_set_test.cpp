// The import sets of graph nodes answer as std::unordered_set<std::string> would, through every
// size at which they change how they search (in order, then through an index that grows).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_set>

#include "core/import_set.hpp"

namespace modweave::core {
namespace {

using Reference = std::unordered_set<std::string>;

void expect_same(const ImportSet& set, const Reference& reference, int step) {
    ASSERT_EQ(set.size(), reference.size()) << "step " << step;
    const Reference listed(set.begin(), set.end());
    ASSERT_EQ(listed, reference) << "step " << step;  // each name once, none missing
    for (const std::string& name : reference)
        ASSERT_TRUE(set.contains(name)) << name << " at step " << step;
}

TEST(ImportSetTest, AnswersAsAHashSetDoesUnderRandomChanges) {
    std::mt19937 random(20261209);
    for (const unsigned names : {4U, 12U, 40U, 300U}) {  // from a few names to many, with repeats
        ImportSet set;
        Reference reference;
        for (int step = 0; step < 4000; ++step) {
            const std::string name = "pkg.mod" + std::to_string(random() % names);
            switch (random() % 10) {
                case 0:
                    EXPECT_EQ(set.erase(name), reference.erase(name)) << step;
                    break;
                case 1: {
                    const std::string tail = std::to_string(random() % 7);
                    const auto drop = [&](const std::string& n) { return n.ends_with(tail); };
                    EXPECT_EQ(erase_if(set, drop), std::erase_if(reference, drop)) << step;
                    break;
                }
                case 2: {
                    ImportSet other{name, "pkg.other", "pkg.mod1"};
                    Reference other_reference{name, "pkg.other", "pkg.mod1"};
                    set.merge(other);
                    reference.merge(other_reference);
                    expect_same(other, other_reference, step);  // what was here already stays
                    break;
                }
                default:
                    EXPECT_EQ(set.insert(name).second, reference.insert(name).second) << step;
                    EXPECT_EQ(*set.find(name), name);
            }
            expect_same(set, reference, step);
            EXPECT_EQ(set.contains("pkg.absent"), false);
        }
    }
}

TEST(ImportSetTest, EqualityIgnoresOrder) {
    const ImportSet forward{"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"};
    ImportSet backward;
    for (const std::string name : {"j", "i", "h", "g", "f", "e", "d", "c", "b", "a"})
        backward.insert(name);
    EXPECT_EQ(forward, backward);
    backward.erase("e");
    EXPECT_NE(forward, backward);
    backward.insert("z");
    EXPECT_NE(forward, backward);  // same size, other names
}

}  // namespace
}  // namespace modweave::core
