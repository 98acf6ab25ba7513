#include "velmor/fetchel/fetchel_core.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

namespace velmor::fetchel {
namespace {

std::optional<Settings> Parse(std::initializer_list<std::string_view> items) {
    const std::vector<std::string_view> arguments(items);
    return ParseArguments(arguments);
}

TEST(FetchelArguments, TwoToSixItemsInOrderLaterOnesOptional) {
    EXPECT_FALSE(Parse({}));
    EXPECT_FALSE(Parse({"http://a/b"}));
    EXPECT_FALSE(Parse({"a", "b", "1", "2", "3", "4", "5"}));

    const auto two = Parse({"http://a/b", "/tmp/out"});
    ASSERT_TRUE(two);
    EXPECT_EQ(two->source, "http://a/b");
    EXPECT_EQ(two->output, "/tmp/out");
    EXPECT_EQ(two->window, 0);
    EXPECT_EQ(two->message_offset, 0);
    EXPECT_EQ(two->expected_size, 0);
    EXPECT_EQ(two->wparam, 0);

    const auto six = Parse({"src", "out", "123457", "-3", "250000", "9"});
    ASSERT_TRUE(six);
    EXPECT_EQ(six->window, 123457);
    EXPECT_EQ(six->message_offset, -3);
    EXPECT_EQ(six->expected_size, 250000);
    EXPECT_EQ(six->wparam, 9);

    const auto four = Parse({"src", "out", "77", "5"});
    ASSERT_TRUE(four);
    EXPECT_EQ(four->message_offset, 5);
    EXPECT_EQ(four->expected_size, 0);
}

TEST(FetchelArguments, NumbersReadFromTheirLeadingDigits) {
    EXPECT_EQ(ParseNumber("250000"), 250000);
    EXPECT_EQ(ParseNumber("12abc"), 12);
    EXPECT_EQ(ParseNumber("-40"), -40);
    EXPECT_EQ(ParseNumber("+40"), 40);
    EXPECT_EQ(ParseNumber("  7"), 7);
    EXPECT_EQ(ParseNumber("0x10"), 0);
    EXPECT_EQ(ParseNumber("abc"), 0);
    EXPECT_EQ(ParseNumber(""), 0);
    EXPECT_EQ(ParseNumber("-"), 0);
    EXPECT_EQ(ParseNumber("1.5e3"), 1);
    EXPECT_EQ(ParseNumber("2147483647"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(ParseNumber("-2147483648"), std::numeric_limits<std::int32_t>::min());
    // Beyond 32 bits the value saturates rather than wrapping into a different size.
    EXPECT_EQ(ParseNumber("4294967296"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(ParseNumber("99999999999999999999999"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(ParseNumber("-99999999999999999999999"), std::numeric_limits<std::int32_t>::min());
}

TEST(FetchelSource, HttpInAnyCaseIsTheInternet) {
    EXPECT_TRUE(IsInternetSource("http://x"));
    EXPECT_TRUE(IsInternetSource("HTTP://X"));
    EXPECT_TRUE(IsInternetSource("hTtPs://x"));
    EXPECT_TRUE(IsInternetSource("http"));
    EXPECT_FALSE(IsInternetSource("htt"));
    EXPECT_FALSE(IsInternetSource("ftp://x/http"));
    EXPECT_FALSE(IsInternetSource("/tmp/http"));
    EXPECT_FALSE(IsInternetSource(" http://x"));
}

TEST(Redirects, KeepOrRaiseTheSchemeNeverLowerIt) {
    EXPECT_TRUE(IsRedirectAllowed("http://a/x", "http://b/y"));
    EXPECT_TRUE(IsRedirectAllowed("http://a/x", "https://b/y"));
    EXPECT_TRUE(IsRedirectAllowed("https://a/x", "https://b/y"));
    EXPECT_TRUE(IsRedirectAllowed("HTTPS://a/x", "hTtPs://b/y"));
    EXPECT_FALSE(IsRedirectAllowed("https://a/x", "http://b/y"));
    EXPECT_FALSE(IsRedirectAllowed("HTTPS://a/x", "HTTP://b/y"));
    EXPECT_FALSE(IsRedirectAllowed("http://a/x", "ftp://b/y"));
    EXPECT_FALSE(IsRedirectAllowed("http://a/x", "file:///etc/passwd"));
    EXPECT_FALSE(IsRedirectAllowed("https://a/x", "b/y"));
}

TEST(FetchelProgress, PercentIsRightForEverySize) {
    EXPECT_EQ(ProgressPercent(100, kInternetBlock, 250000), 40);
    EXPECT_EQ(ProgressPercent(200, kInternetBlock, 250000), 81);
    EXPECT_EQ(ProgressPercent(100, kLocalBlock, 1000000), 40);
    // Below 1 is raised to 1; above 100 is kept when the source is larger than announced.
    EXPECT_EQ(ProgressPercent(100, kInternetBlock, 2'000'000'000), 1);
    EXPECT_EQ(ProgressPercent(300, kInternetBlock, 102400), 300);
    // Past 21 MB the 32-bit product would overflow; 64 bits keep the answer right.
    constexpr std::int32_t k64MiB = 64 * 1024 * 1024;
    EXPECT_EQ(ProgressPercent(30000, kInternetBlock, k64MiB), 45);
    EXPECT_EQ(ProgressPercent(65500, kInternetBlock, k64MiB), 99);
    EXPECT_EQ(ProgressPercent(16300, kLocalBlock, k64MiB), 99);
    EXPECT_EQ(ProgressPercent(20900, kInternetBlock, 2'000'000'000), 1);
    EXPECT_EQ(ProgressPercent(1'900'000, kInternetBlock, 2'000'000'000), 97);
    // Results that do not fit the 32-bit lParam stay at its largest value.
    EXPECT_EQ(ProgressPercent(std::int64_t{1} << 40, kLocalBlock, 1),
              std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(ProgressPercent(std::numeric_limits<std::int64_t>::max(), kLocalBlock, 1),
              std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(ProgressPercent(100, kInternetBlock, -5), 1);
}

std::vector<std::int32_t> CountInternet(std::uint64_t size, std::int32_t expected, std::uint64_t piece) {
    ReadCounter counter(kInternetBlock, expected);
    std::vector<std::int32_t> posts;
    for (std::uint64_t done = 0; done < size; done += piece) {
        counter.AddBytes(std::min(piece, size - done), [&](std::int32_t p) { posts.push_back(p); });
    }
    counter.FinishInternet();
    return posts;
}

std::vector<std::int32_t> CountLocal(std::uint64_t size, std::int32_t expected, std::uint64_t piece) {
    ReadCounter counter(kLocalBlock, expected);
    std::vector<std::int32_t> posts;
    const auto post = [&](std::int32_t p) { posts.push_back(p); };
    for (std::uint64_t done = 0; done < size; done += piece)
        counter.AddBytes(std::min(piece, size - done), post);
    counter.FinishLocal(post);
    return posts;
}

TEST(FetchelCounting, InternetCountsOnlyFullReads) {
    using Posts = std::vector<std::int32_t>;
    EXPECT_EQ(CountInternet(250000, 250000, 16384), (Posts{40, 81}));
    // 100 full reads post once; the short or empty read that ends the loop is never counted.
    EXPECT_EQ(CountInternet(102400, 102400, 1024), (Posts{100}));
    EXPECT_EQ(CountInternet(102401, 102400, 1024), (Posts{100}));
    EXPECT_EQ(CountInternet(102399, 102400, 1024), (Posts{}));
    EXPECT_EQ(CountInternet(1 << 20, 0, 4096), (Posts{}));
}

TEST(FetchelCounting, LocalCountsTheShortAndTheEmptyRead) {
    using Posts = std::vector<std::int32_t>;
    EXPECT_EQ(CountLocal(1000000, 1000000, 65536), (Posts{40, 81}));
    // 99 full reads and the empty read make 100 counted reads.
    EXPECT_EQ(CountLocal(99 * 4096, 99 * 4096, 262144), (Posts{101}));
    // 98 full, one short and the empty read: 100 as well.
    EXPECT_EQ(CountLocal(99 * 4096 - 1, 99 * 4096, 262144), (Posts{101}));
    // 98 full and the empty read: 99, no notification.
    EXPECT_EQ(CountLocal(98 * 4096, 98 * 4096, 262144), (Posts{}));
    EXPECT_EQ(CountLocal(0, 5, 4096), (Posts{}));
    EXPECT_EQ(CountLocal(1 << 20, 0, 4096), (Posts{}));
}

TEST(FetchelCounting, PiecesOfAnySizeCountLikeFixedReads) {
    // However libcurl or the reader cuts the stream, the notifications are those of fixed reads.
    std::mt19937_64 random(7);
    for (int round = 0; round < 200; ++round) {
        const std::uint64_t size = random() % (3 * 1024 * 1024);
        const auto expected = static_cast<std::int32_t>(random() % (4 * 1024 * 1024));
        ReadCounter internet(kInternetBlock, expected);
        ReadCounter local(kLocalBlock, expected);
        std::vector<std::int32_t> internet_posts;
        std::vector<std::int32_t> local_posts;
        for (std::uint64_t done = 0; done < size;) {
            const std::uint64_t piece = std::min<std::uint64_t>(size - done, 1 + random() % 300000);
            internet.AddBytes(piece, [&](std::int32_t p) { internet_posts.push_back(p); });
            local.AddBytes(piece, [&](std::int32_t p) { local_posts.push_back(p); });
            done += piece;
        }
        local.FinishLocal([&](std::int32_t p) { local_posts.push_back(p); });
        EXPECT_EQ(internet_posts, CountInternet(size, expected, kInternetBlock)) << size;
        EXPECT_EQ(local_posts, CountLocal(size, expected, kLocalBlock)) << size;
        EXPECT_EQ(internet.bytes(), size);
        if (expected != 0) {
            EXPECT_EQ(internet.counted_reads(), static_cast<std::int64_t>(size / 1024));
            EXPECT_EQ(local.counted_reads(), static_cast<std::int64_t>((size + 4095) / 4096 + 1));
        }
    }
}

}  // namespace
}  // namespace velmor::fetchel
