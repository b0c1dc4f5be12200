#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logging_bridge/cache.hpp"
#include "logging_bridge/log.hpp"
#include "test_sink.hpp"

namespace modweave::logging_bridge {
namespace {

using Cache = LoggerCache<std::string>;

TEST(LoggerName, ReplacesEverySeparator) {
    EXPECT_EQ(logger_name("modweave::core::builder"), "modweave.core.builder");
    EXPECT_EQ(logger_name("modweave"), "modweave");
    EXPECT_EQ(logger_name(""), "");
}

TEST(LevelFilterTable, SeverityOrderDecidesWhatPasses) {
    struct Row {
        Level level;
        LevelFilter filter;
        bool passes;
    };
    const Row rows[] = {
        {Level::Error, LevelFilter::Off, false},   {Level::Error, LevelFilter::Error, true},
        {Level::Warn, LevelFilter::Error, false},  {Level::Warn, LevelFilter::Warn, true},
        {Level::Info, LevelFilter::Warn, false},   {Level::Debug, LevelFilter::Debug, true},
        {Level::Trace, LevelFilter::Debug, false}, {Level::Trace, LevelFilter::Trace, true},
        {Level::Error, LevelFilter::Trace, true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(passes(row.level, row.filter), row.passes)
            << static_cast<int>(row.level) << " against " << static_cast<int>(row.filter);
    }
    EXPECT_EQ(python_level_number(Level::Error), 40);
    EXPECT_EQ(python_level_number(Level::Warn), 30);
    EXPECT_EQ(python_level_number(Level::Info), 20);
    EXPECT_EQ(python_level_number(Level::Debug), 10);
    EXPECT_EQ(python_level_number(Level::Trace), 5);
}

TEST(LoggerCache, UnknownTargetHasNoNodeAndPassesEverything) {
    Cache cache;
    auto root = cache.load();
    const auto* node = Cache::find(*root, "modweave::core::types");
    EXPECT_EQ(node, nullptr);
    EXPECT_EQ(Cache::cached_filter(node), LevelFilter::Trace);
}

TEST(LoggerCache, StoredEntryIsFoundOnlyUnderItsExactTarget) {
    Cache cache;
    ASSERT_TRUE(cache.store("modweave::core::types", "types-logger", LevelFilter::Warn));
    auto root = cache.load();
    const auto* node = Cache::find(*root, "modweave::core::types");
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->entry->logger, "types-logger");
    EXPECT_EQ(Cache::cached_filter(node), LevelFilter::Warn);

    // The intermediate node exists but carries no entry of its own.
    const auto* parent = Cache::find(*root, "modweave::core");
    ASSERT_NE(parent, nullptr);
    EXPECT_FALSE(parent->entry);
    EXPECT_EQ(Cache::cached_filter(parent), LevelFilter::Trace);
    EXPECT_EQ(Cache::find(*root, "modweave::core::builder"), nullptr);
    EXPECT_EQ(Cache::find(*root, "modweave::core::types::deeper"), nullptr);
}

TEST(LoggerCache, PublishedTreesNeverChange) {
    Cache cache;
    ASSERT_TRUE(cache.store("modweave::core::types", "types", LevelFilter::Debug));
    auto before = cache.load();
    ASSERT_TRUE(cache.store("modweave::core::builder", "builder", LevelFilter::Info));
    ASSERT_TRUE(cache.store("modweave::core::types", "types-again", LevelFilter::Error));

    // A reader that kept the old root still sees it exactly as it was.
    EXPECT_EQ(Cache::find(*before, "modweave::core::builder"), nullptr);
    EXPECT_EQ(Cache::find(*before, "modweave::core::types")->entry->logger, "types");

    auto after = cache.load();
    EXPECT_EQ(Cache::find(*after, "modweave::core::builder")->entry->logger, "builder");
    EXPECT_EQ(Cache::find(*after, "modweave::core::types")->entry->logger, "types-again");
    EXPECT_EQ(Cache::cached_filter(Cache::find(*after, "modweave::core::types")),
              LevelFilter::Error);
}

TEST(LoggerCache, SiblingEntriesAreSharedNotCopied) {
    Cache cache;
    ASSERT_TRUE(cache.store("a::x", "x", LevelFilter::Info));
    const auto* x_before = Cache::find(*cache.load(), "a::x");
    ASSERT_TRUE(cache.store("a::y", "y", LevelFilter::Info));
    const auto* x_after = Cache::find(*cache.load(), "a::x");
    EXPECT_EQ(x_before, x_after);
}

TEST(LoggerCache, StoreBuiltOnAStaleRootIsDropped) {
    Cache cache;
    auto stale = cache.load();
    ASSERT_TRUE(cache.store("modweave::importlib::util", "winner", LevelFilter::Debug));
    EXPECT_FALSE(cache.store_onto(stale, "modweave::core::types", "loser", LevelFilter::Off));

    auto root = cache.load();
    EXPECT_EQ(Cache::find(*root, "modweave::core::types"), nullptr);
    EXPECT_EQ(Cache::find(*root, "modweave::importlib::util")->entry->logger, "winner");
}

TEST(LoggerCache, ResetForgetsEveryTarget) {
    Cache cache;
    ASSERT_TRUE(cache.store("modweave::core::types", "types", LevelFilter::Warn));
    auto old_root = cache.load();
    cache.reset();
    EXPECT_EQ(Cache::find(*cache.load(), "modweave::core::types"), nullptr);
    EXPECT_NE(Cache::find(*old_root, "modweave::core::types"), nullptr);
}

TEST(LoggerCache, EmptySegmentsAreKeptApart) {
    Cache cache;
    ASSERT_TRUE(cache.store("a::", "trailing", LevelFilter::Info));
    auto root = cache.load();
    EXPECT_FALSE(Cache::find(*root, "a")->entry);
    EXPECT_EQ(Cache::find(*root, "a::")->entry->logger, "trailing");
}

}  // namespace

// One log statement, called again and again.
void log_from_one_statement(std::string_view target, int round) {
    MODWEAVE_LOG(Debug, target, "round ", round);
}

TEST(CallSite, RemembersARefusalUntilDecisionsAreRenewed) {
    using testing::captured_messages;
    testing::clear_captured_records();
    renew_decisions();
    testing::refused_target() = "gate::refused";
    testing::refusal_questions() = 0;

    for (int round = 0; round < 3; ++round)
        log_from_one_statement("gate::refused", round);
    EXPECT_TRUE(captured_messages("gate::refused").empty());
    EXPECT_EQ(testing::refusal_questions(), 1);  // asked once, then remembered

    // The sink changed its mind, but the refusal stands until the decisions are renewed.
    testing::refused_target().clear();
    log_from_one_statement("gate::refused", 3);
    EXPECT_TRUE(captured_messages("gate::refused").empty());

    renew_decisions();
    log_from_one_statement("gate::refused", 4);
    log_from_one_statement("gate::refused", 5);
    EXPECT_EQ(captured_messages("gate::refused"), (std::vector<std::string>{"round 4", "round 5"}));
    testing::clear_captured_records();
}

}  // namespace modweave::logging_bridge
