#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/cbor/cbor_parser.h"
#include "test_util.h"

using test::bytes;
using test::hex;

namespace {

struct val_deleter {
    void operator()(cbor_val *v) const { cbor_val_free(v); }
};
using val_ptr = std::unique_ptr<cbor_val, val_deleter>;

struct parser_deleter {
    void operator()(cbor_parser *p) const { cbor_parser_free(p); }
};

// Parses the whole input into items; stops at the first null.
struct parsed {
    bytes input;
    std::unique_ptr<cbor_parser, parser_deleter> parser;
    std::vector<val_ptr> items;
    explicit parsed(const std::string &text) : input(hex(text)) {
        parser.reset(cbor_parser_create(input.data(), static_cast<uint32_t>(input.size())));
        while (cbor_val *v = cbor_next_val(parser.get())) items.emplace_back(v);
    }
    int32_t left() const { return cbor_parser_available_bytes(parser.get()); }
};

int64_t single_integer(const std::string &text) {
    parsed p(text);
    EXPECT_EQ(p.items.size(), 1u) << text;
    EXPECT_EQ(p.left(), 0) << text;
    return p.items.empty() ? 0 : p.items[0]->payload.integer;
}

double single_float(const std::string &text) {
    parsed p(text);
    EXPECT_EQ(p.items.size(), 1u) << text;
    EXPECT_EQ(p.items.empty() ? -1 : p.items[0]->type, 7);
    return p.items.empty() ? 0 : p.items[0]->payload.floating;
}

TEST(CborParser, EmptyInput) {
    parsed p("");
    EXPECT_TRUE(p.items.empty());
    EXPECT_EQ(p.left(), 0);
}

TEST(CborParser, IntegersOfEveryWidth) {
    EXPECT_EQ(single_integer("17"), 23);
    EXPECT_EQ(single_integer("18 18"), 24);
    EXPECT_EQ(single_integer("19 01 00"), 256);
    EXPECT_EQ(single_integer("1a 00 01 00 00"), 65536);
    EXPECT_EQ(static_cast<uint64_t>(single_integer("1b ff ff ff ff ff ff ff ff")), UINT64_MAX);
    EXPECT_EQ(single_integer("20"), -1);
    EXPECT_EQ(single_integer("38 63"), -100);
    EXPECT_EQ(single_integer("39 03 e7"), -1000);
    EXPECT_EQ(single_integer("3a 00 01 00 00"), -65537);
    EXPECT_EQ(single_integer("3b 7f ff ff ff ff ff ff ff"), INT64_MIN);
    parsed neg("37");
    EXPECT_EQ(neg.items[0]->type, 1);
    EXPECT_EQ(neg.items[0]->payload.integer, -24);
}

TEST(CborParser, TruncationAtEachArgumentWidthFailsAfterTheHead) {
    for (const char *text : {"18", "19 01", "1a 00 00 01", "1b 00 00 00 00 00 00 00", "38", "39 00", "3a 00",
                             "3b", "58", "59 00", "5a 00 00 00", "5b 00", "78", "98", "99 00", "b8", "ba 00 00",
                             "f9 00", "fa 00 00 00", "fb 00 00 00 00 00 00 00"}) {
        parsed p(text);
        EXPECT_TRUE(p.items.empty()) << text;
        // The cursor has moved just past the initial byte.
        EXPECT_EQ(p.left(), static_cast<int32_t>(p.input.size()) - 1) << text;
    }
}

TEST(CborParser, StringsAreCopiedAndTextIsTerminated) {
    parsed b("43 01 02 03");
    ASSERT_EQ(b.items.size(), 1u);
    EXPECT_EQ(b.items[0]->type, 2);
    EXPECT_EQ(b.items[0]->length, 3);
    EXPECT_EQ(bytes(b.items[0]->payload.data, b.items[0]->payload.data + 3), hex("01 02 03"));
    EXPECT_NE(b.items[0]->payload.data, b.input.data() + 1);

    parsed t("63 61 62 63");
    ASSERT_EQ(t.items.size(), 1u);
    EXPECT_EQ(t.items[0]->type, 3);
    EXPECT_EQ(std::memcmp(t.items[0]->payload.data, "abc", 4), 0);

    parsed e("60 40");
    ASSERT_EQ(e.items.size(), 2u);
    EXPECT_EQ(e.items[0]->length, 0);
    EXPECT_EQ(e.items[0]->payload.data[0], 0);
    EXPECT_EQ(e.items[1]->length, 0);

    parsed longer("58 1a 61 62 63 64 65 66 67 68 69 6a 6b 6c 6d 6e 6f 70 71 72 73 74 75 76 77 78 79 7a");
    ASSERT_EQ(longer.items.size(), 1u);
    EXPECT_EQ(longer.items[0]->length, 26);
    EXPECT_EQ(longer.items[0]->payload.data[25], 'z');
}

TEST(CborParser, StringBodyRunningPastTheInputFails) {
    parsed short_body("43 01 02");
    EXPECT_TRUE(short_body.items.empty());
    EXPECT_EQ(short_body.left(), 2);  // cursor just past the head
    parsed huge("5b ff ff ff ff ff ff ff ff");
    EXPECT_TRUE(huge.items.empty());
    EXPECT_EQ(huge.left(), 0);
    parsed huge_text("7b 00 00 00 01 00 00 00 00 61");
    EXPECT_TRUE(huge_text.items.empty());
}

TEST(CborParser, ContainersAndIndefiniteItems) {
    parsed p("9f 01 ff");
    ASSERT_EQ(p.items.size(), 3u);
    EXPECT_EQ(p.items[0]->type, 4);
    EXPECT_EQ(p.items[0]->length, -1);
    EXPECT_EQ(p.items[1]->payload.integer, 1);
    EXPECT_EQ(p.items[2]->type, 7);
    EXPECT_EQ(p.items[2]->initial_byte, 0xff);
    EXPECT_EQ(p.parser->in_indefinite, 0);

    bytes open = hex("5f");
    std::unique_ptr<cbor_parser, parser_deleter> parser(cbor_parser_create(open.data(), 1));
    val_ptr start(cbor_next_val(parser.get()));
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->type, 2);
    EXPECT_EQ(start->length, -1);
    EXPECT_EQ(start->payload.data, nullptr);
    EXPECT_EQ(parser->in_indefinite, 1);

    parsed counts("84 b9 01 00 9b 00 00 00 00 00 00 00 02 7f bf");
    ASSERT_EQ(counts.items.size(), 5u);
    EXPECT_EQ(counts.items[0]->length, 4);
    EXPECT_EQ(counts.items[1]->type, 5);
    EXPECT_EQ(counts.items[1]->length, 256);
    EXPECT_EQ(counts.items[2]->length, 2);
    EXPECT_EQ(counts.items[3]->type, 3);
    EXPECT_EQ(counts.items[3]->length, -1);
    EXPECT_EQ(counts.items[4]->length, -1);
}

TEST(CborParser, SimpleValuesDifferOnlyByInitialByte) {
    parsed p("f4 f5 f6 f7");
    ASSERT_EQ(p.items.size(), 4u);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(p.items[i]->type, 7);
        EXPECT_EQ(p.items[i]->payload.integer, 0);
        EXPECT_EQ(p.items[i]->initial_byte, 0xf4 + i);
    }
}

TEST(CborParser, FloatsOfEachPrecision) {
    EXPECT_EQ(single_float("f9 3c 00"), 1.0);
    EXPECT_EQ(single_float("f9 7b ff"), 65504.0);
    EXPECT_EQ(single_float("f9 00 01"), std::ldexp(1.0, -24));
    EXPECT_EQ(single_float("f9 03 ff"), std::ldexp(1023.0, -24));
    EXPECT_EQ(single_float("f9 04 00"), std::ldexp(1.0, -14));
    EXPECT_EQ(single_float("f9 c4 00"), -4.0);
    EXPECT_EQ(single_float("f9 7c 00"), INFINITY);
    EXPECT_EQ(single_float("f9 fc 00"), -INFINITY);
    EXPECT_TRUE(std::isnan(single_float("f9 7e 00")));
    double negative_zero = single_float("f9 80 00");
    EXPECT_EQ(negative_zero, 0.0);
    EXPECT_TRUE(std::signbit(negative_zero));
    EXPECT_EQ(single_float("fa 47 c3 50 00"), 100000.0);
    EXPECT_EQ(single_float("fa 7f 80 00 00"), INFINITY);
    EXPECT_TRUE(std::isnan(single_float("fa 7f c0 00 00")));
    EXPECT_EQ(single_float("fa 3f 8c cc cd"), static_cast<double>(1.1f));
    EXPECT_EQ(single_float("fb 3f f1 99 99 99 99 99 9a"), 1.1);
}

TEST(CborParser, TagsReservedAndUnimplementedCodesAreSkipped) {
    parsed tag("d8 20");
    ASSERT_EQ(tag.items.size(), 2u);
    EXPECT_EQ(tag.items[0]->type, 6);
    EXPECT_EQ(tag.items[1]->type, 1);
    EXPECT_EQ(tag.items[1]->payload.integer, -1);

    parsed reserved("1c 3f 5c df fc");
    ASSERT_EQ(reserved.items.size(), 5u);
    EXPECT_EQ(reserved.items[0]->type, 0);
    EXPECT_EQ(reserved.items[0]->payload.integer, 0);
    EXPECT_EQ(reserved.items[2]->type, 2);
    EXPECT_EQ(reserved.items[2]->payload.data, nullptr);
    EXPECT_EQ(reserved.left(), 0);

    testing::internal::CaptureStderr();
    parsed simple("e0 f8 10");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Unimplemented CBOR code: e0\nUnimplemented CBOR code: f8\n");
    ASSERT_EQ(simple.items.size(), 3u);
    EXPECT_EQ(simple.items[0]->type, 7);
    // The one-byte extension of f8 is not consumed; it is read as the next item.
    EXPECT_EQ(simple.items[2]->payload.integer, 16);
}

TEST(CborParser, JumpTableCoversEveryInitialByte) {
    for (int byte = 0; byte < 256; byte++) EXPECT_NE(cbor_jump_table[byte], nullptr) << byte;
    EXPECT_EQ(cbor_jump_table[0x00], cbor_parse_uint_small);
    EXPECT_EQ(cbor_jump_table[0x1b], cbor_parse_uint64);
    EXPECT_EQ(cbor_jump_table[0x1f], cbor_parse_reserved);
    EXPECT_EQ(cbor_jump_table[0x3a], cbor_parse_negint32);
    EXPECT_EQ(cbor_jump_table[0x57], cbor_parse_byte_string_small);
    EXPECT_EQ(cbor_jump_table[0x5f], cbor_parse_byte_string_indefinite);
    EXPECT_EQ(cbor_jump_table[0x79], cbor_parse_text_string_uint16);
    EXPECT_EQ(cbor_jump_table[0x9e], cbor_parse_reserved);
    EXPECT_EQ(cbor_jump_table[0xb8], cbor_parse_map_uint8);
    EXPECT_EQ(cbor_jump_table[0xbf], cbor_parse_map_indefinite);
    EXPECT_EQ(cbor_jump_table[0xdb], cbor_parse_semantic_tag);
    EXPECT_EQ(cbor_jump_table[0xdc], cbor_parse_reserved);
    EXPECT_EQ(cbor_jump_table[0xf3], cbor_parse_unimplemented);
    EXPECT_EQ(cbor_jump_table[0xf8], cbor_parse_unimplemented);
    EXPECT_EQ(cbor_jump_table[0xfa], cbor_parse_float32);
    EXPECT_EQ(cbor_jump_table[0xfe], cbor_parse_reserved);
    EXPECT_EQ(cbor_jump_table[0xff], cbor_parse_break);
}

TEST(CborParser, ValueRecordsAreZeroFilled) {
    val_ptr v(cbor_val_create());
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, 0);
    EXPECT_EQ(v->length, 0);
    EXPECT_EQ(v->payload.data, nullptr);
    cbor_val_free(nullptr);
    cbor_parser_free(nullptr);
}

}  // namespace
