#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "core/delta/script/edit_script.h"
#include "core/delta/script/item_codec.h"
#include "test_util.h"

namespace {

using test::bytes;
using test::hex;
using test::of;

struct script_deleter {
    void operator()(edit_script *s) const { edit_script_free(s); }
};
using script_ptr = std::unique_ptr<edit_script, script_deleter>;

struct fixture {
    bytes old_v, new_v;
    buf old_b, new_b;
    script_ptr script;
    coallescing_script cs;
    fixture(bytes o, bytes n) : old_v(std::move(o)), new_v(std::move(n)) {
        old_b = test::view(old_v);
        new_b = test::view(new_v);
        script.reset(edit_script_create(&old_b, &new_b));
        cs = coallescing_script{script.get(), 0, 0, 2, 0, 0, true};
    }
    bytes out() const { return test::contents(script->out); }
};

bytes hundred_bytes() {
    bytes v(100);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>('A' + i % 26);
    return v;
}

TEST(ItemCodec, HeadSizes) {
    using kestrava_items::head_size_signed;
    EXPECT_EQ(1, head_size_signed(0));
    EXPECT_EQ(1, head_size_signed(23));
    EXPECT_EQ(2, head_size_signed(24));
    EXPECT_EQ(2, head_size_signed(255));
    EXPECT_EQ(3, head_size_signed(256));
    EXPECT_EQ(3, head_size_signed(65535));
    EXPECT_EQ(5, head_size_signed(65536));
    EXPECT_EQ(5, head_size_signed(INT32_MAX));
    EXPECT_EQ(1, head_size_signed(-5));
    EXPECT_EQ(9, head_size_signed(INT32_MIN));
    EXPECT_EQ(5u, kestrava_items::head_size(UINT32_MAX));
    EXPECT_EQ(9u, kestrava_items::head_size(uint64_t{UINT32_MAX} + 1));
}

// Heads written at every size read back through the reader, which stops as
// failed at anything the generators never write.
TEST(ItemCodec, WrittenItemsReadBackAndMalformedOnesFail) {
    using kestrava_items::item;
    using kestrava_items::item_reader;
    for (uint32_t v : {0u, 23u, 24u, 255u, 256u, 65535u, 65536u, UINT32_MAX}) {
        uint8_t at[16];
        uint32_t n = kestrava_items::put_head(at, kestrava_items::kCopy, v);
        ASSERT_EQ(kestrava_items::head_size(v), n) << v;
        n += kestrava_items::put_head(at + n, kestrava_items::kCopy, 7);
        item_reader r(at, at + n);
        item it;
        ASSERT_TRUE(r.next(it)) << v;
        EXPECT_TRUE(it.copy);
        EXPECT_EQ(v, it.off);
        EXPECT_EQ(7u, it.len);
        EXPECT_FALSE(r.next(it));
        EXPECT_FALSE(r.failed());
    }
    bytes good = hex("43 61 62 63 02 18 20");
    item_reader r(good.data(), good.data() + good.size());
    item it;
    ASSERT_TRUE(r.next(it));
    EXPECT_FALSE(it.copy);
    EXPECT_EQ(3u, it.len);
    EXPECT_EQ(0, std::memcmp(it.bytes, "abc", 3));
    ASSERT_TRUE(r.next(it));
    EXPECT_EQ(2u, it.off);
    EXPECT_EQ(32u, it.len);
    EXPECT_FALSE(r.next(it));
    EXPECT_FALSE(r.failed());
    // An unpaired integer, a string or head cut off, a text string, an
    // indefinite string, an argument past 32 bits.
    for (const char *bad : {"05", "05 43 61", "43 61 62", "18", "63 61 62 63", "5f 41 61 ff",
                            "1b 00 00 00 01 00 00 00 00 01"}) {
        bytes b = hex(bad);
        item_reader br(b.data(), b.data() + b.size());
        while (br.next(it)) {
        }
        EXPECT_TRUE(br.failed()) << bad;
    }
}

TEST(EditScript, CreateSetsBudgetAndEmptySlots) {
    fixture f(of("abc"), of("hello"));
    ASSERT_TRUE(f.script);
    EXPECT_EQ(-1, f.script->insert_start);
    EXPECT_EQ(-1, f.script->match_start);
    EXPECT_EQ(5, f.script->budget);
    EXPECT_EQ(&f.old_b, f.script->old_buf);
    EXPECT_EQ(&f.new_b, f.script->new_buf);
    ASSERT_TRUE(f.script->out);
    EXPECT_EQ(0u, f.script->out->len);
    edit_script_free(nullptr);
}

TEST(EditScript, FoldsShortCopyIntoInsertAndKeepsLongOne) {
    fixture f(hundred_bytes(), hundred_bytes());
    EXPECT_TRUE(edit_script_insert(f.script.get(), 0, 5));
    EXPECT_TRUE(edit_script_match(f.script.get(), 10, 2));  // 2 + H(7) - H(5) = 2 <= 1 + H(10): folded
    EXPECT_EQ(7, f.script->insert_length);
    EXPECT_EQ(-1, f.script->match_start);
    EXPECT_TRUE(edit_script_match(f.script.get(), 40, 30));  // 31 > 3: pending copy
    EXPECT_EQ(40, f.script->match_start);
    EXPECT_TRUE(edit_script_close(f.script.get()));
    bytes want = hex("47");
    want.insert(want.end(), f.new_v.begin(), f.new_v.begin() + 7);
    bytes copy = hex("18 28 18 1e");
    want.insert(want.end(), copy.begin(), copy.end());
    EXPECT_EQ(want, f.out());
    EXPECT_EQ(88, f.script->budget);
}

TEST(EditScript, InsertAbsorbsShortPendingCopy) {
    fixture f(hundred_bytes(), hundred_bytes());
    EXPECT_TRUE(edit_script_match(f.script.get(), 3, 1));
    EXPECT_TRUE(edit_script_insert(f.script.get(), 8, 4));  // 1 + H(5) - H(4) = 1 <= 1 + H(3)
    EXPECT_EQ(-1, f.script->match_start);
    EXPECT_EQ(7, f.script->insert_start);
    EXPECT_EQ(5, f.script->insert_length);
    EXPECT_EQ(0u, f.script->out->len);
    // A further insert extends the pending one.
    EXPECT_TRUE(edit_script_insert(f.script.get(), 12, 3));
    EXPECT_EQ(8, f.script->insert_length);
    EXPECT_TRUE(edit_script_close(f.script.get()));
    bytes want = hex("48");
    want.insert(want.end(), f.new_v.begin() + 7, f.new_v.begin() + 15);
    EXPECT_EQ(want, f.out());
}

TEST(EditScript, PendingInsertAndCopyAreWrittenInThatOrder) {
    fixture f(hundred_bytes(), hundred_bytes());
    EXPECT_TRUE(edit_script_insert(f.script.get(), 0, 2));
    EXPECT_TRUE(edit_script_match(f.script.get(), 50, 20));  // not folded
    // A new long insert cannot absorb the 20-byte copy: both are flushed.
    EXPECT_TRUE(edit_script_insert(f.script.get(), 22, 3));
    bytes want = hex("42");
    want.insert(want.end(), f.new_v.begin(), f.new_v.begin() + 2);
    bytes copy = hex("18 32 14");
    want.insert(want.end(), copy.begin(), copy.end());
    EXPECT_EQ(want, f.out());
    EXPECT_EQ(22, f.script->insert_start);
    EXPECT_EQ(-1, f.script->match_start);
    // Two copies in a row: the second flushes the first.
    EXPECT_TRUE(edit_script_match(f.script.get(), 0, 30));
    EXPECT_TRUE(edit_script_match(f.script.get(), 60, 30));
    EXPECT_TRUE(edit_script_close(f.script.get()));
    bytes tail = hex("43");
    tail.insert(tail.end(), f.new_v.begin() + 22, f.new_v.begin() + 25);
    bytes copies = hex("00 18 1e 18 3c 18 1e");
    tail.insert(tail.end(), copies.begin(), copies.end());
    want.insert(want.end(), tail.begin(), tail.end());
    EXPECT_EQ(want, f.out());
    EXPECT_EQ(100 - int32_t(want.size()), f.script->budget);
}

TEST(EditScript, BudgetRunsOutAtZero) {
    fixture f(of("abc"), of("abcd"));
    EXPECT_TRUE(edit_script_match(f.script.get(), 0, 3));
    EXPECT_TRUE(edit_script_insert(f.script.get(), 3, 1));  // 3 + H(4) - H(1) = 3 > 2: copy flushed
    EXPECT_EQ(hex("00 03"), f.out());
    EXPECT_EQ(2, f.script->budget);
    EXPECT_FALSE(edit_script_close(f.script.get()));  // the insert costs 2: budget 0
    EXPECT_EQ(hex("00 03"), f.out());                  // nothing written by the failed flush
}

TEST(EditScript, EmptyNewValueFailsFirstItem) {
    fixture f(of("abc"), bytes{});
    EXPECT_TRUE(edit_script_match(f.script.get(), 0, 3));
    EXPECT_FALSE(edit_script_close(f.script.get()));
    EXPECT_EQ(0u, f.script->out->len);
}

TEST(CoalescingScript, WorkedExample) {
    fixture f(of("the quick brown fox jumps over the lazy dog"), of("the quick brown cat jumps over the lazy dog"));
    EXPECT_TRUE(coallescing_script_match(&f.cs, 0, 16));
    EXPECT_EQ(1, f.cs.state);
    EXPECT_TRUE(coallescing_script_delete(&f.cs));
    EXPECT_EQ(2, f.cs.state);
    EXPECT_FALSE(f.cs.single_run);
    EXPECT_EQ(0, f.script->match_start);
    EXPECT_TRUE(coallescing_script_insert(&f.cs, 16, 3));
    EXPECT_EQ(0, f.cs.state);
    EXPECT_TRUE(coallescing_script_match(&f.cs, 19, 24));
    EXPECT_EQ(hex("00 10"), f.out());
    EXPECT_EQ(41, f.script->budget);
    EXPECT_EQ(0, coallescing_script_close(&f.cs, 43, 43));
    EXPECT_EQ(hex("00 10 43 63 61 74 13 18 18"), f.out());
    EXPECT_EQ(34, f.script->budget);
}

TEST(CoalescingScript, RunsMergeAndIgnoreEmptyPieces) {
    fixture f(hundred_bytes(), hundred_bytes());
    EXPECT_TRUE(coallescing_script_match(&f.cs, 10, 0));
    EXPECT_TRUE(coallescing_script_insert(&f.cs, 10, -4));
    EXPECT_EQ(2, f.cs.state);
    EXPECT_TRUE(f.cs.single_run);
    EXPECT_TRUE(coallescing_script_match(&f.cs, 10, 20));
    EXPECT_TRUE(coallescing_script_match(&f.cs, 30, 20));
    EXPECT_EQ(40, f.cs.run_length);
    EXPECT_TRUE(coallescing_script_insert(&f.cs, 40, 5));
    EXPECT_TRUE(coallescing_script_delete(&f.cs));  // does not interrupt the insert run
    EXPECT_TRUE(coallescing_script_insert(&f.cs, 45, 5));
    EXPECT_EQ(0, f.cs.state);
    EXPECT_EQ(10, f.cs.run_length);
    EXPECT_EQ(0, coallescing_script_close(&f.cs, 100, 100));
    bytes want = hex("0a 18 28 4a");
    want.insert(want.end(), f.new_v.begin() + 40, f.new_v.begin() + 50);
    EXPECT_EQ(want, f.out());
}

TEST(CoalescingScript, PositionsAreRelativeToBases) {
    fixture f(hundred_bytes(), hundred_bytes());
    f.cs.old_base = 10;
    f.cs.new_base = 20;
    EXPECT_TRUE(coallescing_script_match(&f.cs, 40, 30));
    EXPECT_EQ(30, f.cs.offset);
    EXPECT_TRUE(coallescing_script_insert(&f.cs, 25, 3));
    EXPECT_EQ(5, f.cs.offset);
}

TEST(CoalescingScript, CloseCodes) {
    {
        fixture f(of("abc"), of("abc"));
        EXPECT_TRUE(coallescing_script_match(&f.cs, 0, 3));
        EXPECT_EQ(2, coallescing_script_close(&f.cs, 3, 3));
    }
    {
        fixture f(of("abc"), of("xyz"));
        EXPECT_TRUE(coallescing_script_delete(&f.cs));
        EXPECT_TRUE(coallescing_script_insert(&f.cs, 0, 3));
        EXPECT_TRUE(coallescing_script_delete(&f.cs));
        EXPECT_EQ(1, coallescing_script_close(&f.cs, 3, 3));
    }
    {
        fixture f(bytes{}, of("xyz"));
        EXPECT_TRUE(coallescing_script_insert(&f.cs, 0, 3));
        EXPECT_EQ(1, coallescing_script_close(&f.cs, 0, 3));
    }
    {
        fixture f(bytes{}, bytes{});
        EXPECT_EQ(2, coallescing_script_close(&f.cs, 0, 0));
    }
    {
        fixture f(of("abc"), bytes{});
        EXPECT_TRUE(coallescing_script_delete(&f.cs));
        EXPECT_EQ(0, coallescing_script_close(&f.cs, 3, 0));
        EXPECT_EQ(0u, f.script->out->len);
    }
    {
        // A single match that is not the whole old value is a real delta.
        fixture f(of("abcdefghijklmnopqrstuvwxyz"), of("bcdefghijklmnopqrstuvwxyz"));
        EXPECT_TRUE(coallescing_script_match(&f.cs, 1, 25));
        EXPECT_EQ(0, coallescing_script_close(&f.cs, 26, 25));
        EXPECT_EQ(hex("01 18 19"), f.out());
    }
    {
        // Budget used up while handing over the last run.
        fixture f(of("abc"), of("abcd"));
        EXPECT_TRUE(coallescing_script_match(&f.cs, 0, 3));
        EXPECT_TRUE(coallescing_script_insert(&f.cs, 3, 1));
        EXPECT_EQ(1, coallescing_script_close(&f.cs, 3, 4));
    }
}

}  // namespace
