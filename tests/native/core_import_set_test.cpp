// The import sets of graph nodes answer as std::unordered_set<std::string> would, through every
// size at which they change how they search (in order, then through an index that grows).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/import_set.hpp"
#include "text/string_hash.hpp"

namespace modweave::core {
namespace {

using Reference = std::unordered_set<std::string>;

void expect_same(const ImportSet& set, const Reference& reference, int step) {
    ASSERT_EQ(set.size(), reference.size()) << "step " << step;
    Reference listed;
    for (const std::string_view name : set)
        listed.emplace(name);
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
                    const auto drop = [&](std::string_view n) { return n.ends_with(tail); };
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
                case 3: {
                    // A part of a name the set holds, given as a view into the set itself, while
                    // the set may have to move its names to make room.
                    if (set.empty()) break;
                    const std::string_view held = *set.begin();
                    const std::string_view part = held.substr(0, 1 + random() % held.size());
                    const std::string expected(part);
                    EXPECT_EQ(set.insert(part).second, reference.insert(expected).second) << step;
                    EXPECT_EQ(*set.find(expected), expected);
                    break;
                }
                case 4:
                    // A name the caller knows is new goes in without the search.
                    if (reference.contains(name)) break;
                    EXPECT_EQ(*set.insert_absent(name), name) << step;
                    reference.insert(name);
                    break;
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

// The tables of the module (these sets, the walk's notes) take a name's hash masked to a power of
// two, so every byte of a name must reach the low bits.
TEST(TextHashTest, EveryByteOfANameReachesTheLowBits) {
    // One byte changed at each place of names of every length up to 40: the low 16 bits differ
    // for nearly all (a byte that did not count would give the same hash every time).
    int same_low_bits = 0;
    int pairs = 0;
    for (std::size_t length = 1; length <= 40; ++length) {
        const std::string name(length, 'm');
        for (std::size_t at = 0; at < length; ++at) {
            std::string changed = name;
            changed[at] = 'n';
            ++pairs;
            const std::uint64_t before = text::hash_text(name);
            const std::uint64_t after = text::hash_text(changed);
            ASSERT_NE(before, after) << "length " << length << ", byte " << at;
            if ((before & 0xffff) == (after & 0xffff)) ++same_low_bits;
        }
    }
    EXPECT_LE(same_low_bits, 1) << "of " << pairs;
    // The length counts: a trailing NUL byte is no padding.
    EXPECT_NE(text::hash_text("pkg.mod"), text::hash_text(std::string_view("pkg.mod\0", 8)));

    // Names alike but for a counter fill 1,024 buckets evenly: 64 on average.
    std::vector<int> buckets(1024);
    for (int index = 0; index < 65536; ++index) {
        ++buckets[text::hash_text("package.module_" + std::to_string(index)) & 1023];
    }
    EXPECT_GT(*std::ranges::min_element(buckets), 30);
    EXPECT_LT(*std::ranges::max_element(buckets), 110);
}

}  // namespace
}  // namespace modweave::core
