#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/buffer/buf_enc.h"
#include "core/list/list.h"
#include "test_util.h"

namespace {

char A[] = "a", B[] = "b", C[] = "c", X[] = "x";

std::vector<void *> released;
void record_release(void *p) { released.push_back(p); }
bool same(void *a, void *b) { return a == b; }

// Elements front to back, checking every prev link against the walk.
std::vector<void *> walk(const list *l) {
    std::vector<void *> out;
    const list_node *prev = nullptr;
    for (const list_node *n = l->first; n != nullptr; n = n->next) {
        EXPECT_EQ(n->prev, prev);
        out.push_back(n->data);
        prev = n;
    }
    EXPECT_EQ(l->last, prev);
    return out;
}

struct List : testing::Test {
    list *l = list_create();
    void SetUp() override { released.clear(); }
    void TearDown() override { list_free(l, nullptr); }
    void fill() {
        list_append_last(l, A);
        list_append_last(l, B);
        list_append_last(l, C);
    }
};

TEST_F(List, SizeAndEnds) {
    EXPECT_EQ(list_get_size(nullptr), -1);
    EXPECT_EQ(list_get_size(l), 0);
    EXPECT_EQ(list_get_data_first(l), nullptr);
    list_insert_first(l, A);
    EXPECT_EQ(l->first, l->last);
    list_clear(l, nullptr);
    fill();
    EXPECT_EQ(walk(l), (std::vector<void *>{A, B, C}));
    EXPECT_EQ(list_get_data_last(l), C);
    EXPECT_EQ(list_get_data_first(l), A);
    EXPECT_EQ(list_insert_first(nullptr, A), nullptr);
    EXPECT_EQ(list_append_last(nullptr, A), nullptr);
}

TEST_F(List, InsertAndAppendRelinkNeighbours) {
    fill();
    list_insert(l, l->first->next, X);
    EXPECT_EQ(walk(l), (std::vector<void *>{A, X, B, C}));
    list_append(l, l->last, X);
    EXPECT_EQ(walk(l), (std::vector<void *>{A, X, B, C, X}));
    list_insert_first(l, C);
    EXPECT_EQ(walk(l), (std::vector<void *>{C, A, X, B, C, X}));
    list_append(l, l->first, B);
    EXPECT_EQ(walk(l), (std::vector<void *>{C, B, A, X, B, C, X}));
}

TEST_F(List, IndexedAccess) {
    fill();
    EXPECT_EQ(list_get_data_indexed(l, -5), A);
    EXPECT_EQ(list_get_data_indexed(l, 2), C);
    EXPECT_EQ(list_get_data_indexed(l, 3), nullptr);
    EXPECT_EQ(list_get_data_indexed(nullptr, 0), nullptr);

    list_set_data_indexed(l, 3, X, record_release);
    list_set_data_indexed(l, -1, X, record_release);
    EXPECT_EQ(walk(l), (std::vector<void *>{A, B, C}));
    EXPECT_TRUE(released.empty());
    list_set_data_indexed(l, 1, X, record_release);
    EXPECT_EQ(walk(l), (std::vector<void *>{A, X, C}));
    EXPECT_EQ(released, (std::vector<void *>{B}));
}

TEST_F(List, RemoveKeepsBothEndsConsistent) {
    fill();
    list_remove_data_indexed(l, -1, record_release);  // names no node
    list_remove_data_indexed(l, 3, record_release);
    EXPECT_EQ(walk(l), (std::vector<void *>{A, B, C}));
    EXPECT_TRUE(released.empty());
    list_remove_data_indexed(l, 1, record_release);
    EXPECT_EQ(walk(l), (std::vector<void *>{A, C}));
    list_remove_data_indexed(l, 1, record_release);
    EXPECT_EQ(walk(l), (std::vector<void *>{A}));
    list_remove_data_indexed(l, 0, record_release);
    EXPECT_EQ(l->first, nullptr);
    EXPECT_EQ(l->last, nullptr);
    EXPECT_EQ(released, (std::vector<void *>{B, C, A}));
    list_remove_data_indexed(nullptr, 0, record_release);
}

TEST_F(List, ClearReleasesEveryElementIncludingNull) {
    list_append_last(l, A);
    list_append_last(l, nullptr);
    EXPECT_EQ(list_clear(l, record_release), l);
    EXPECT_EQ(released, (std::vector<void *>{A, nullptr}));
    EXPECT_EQ(list_get_size(l), 0);
    EXPECT_EQ(list_clear(nullptr, record_release), nullptr);
}

TEST_F(List, CompareByElements) {
    EXPECT_EQ(list_cmp(nullptr, nullptr, same), 1);
    EXPECT_EQ(list_cmp(nullptr, l, same), 0);
    list *other = list_create();
    EXPECT_EQ(list_cmp(l, other, same), 1);
    fill();
    list_append_last(other, A);
    list_append_last(other, B);
    EXPECT_EQ(list_cmp(l, other, same), 0);
    list_append_last(other, C);
    EXPECT_EQ(list_cmp(l, other, same), 1);
    EXPECT_EQ(list_cmp(l, other, nullptr), 0);
    list_set_data_indexed(other, 2, X, nullptr);
    EXPECT_EQ(list_cmp(l, other, same), 0);
    list_free(other, nullptr);
}

void *upper(void *p) {
    char *s = static_cast<char *>(std::malloc(2));
    s[0] = static_cast<char>(std::toupper(static_cast<char *>(p)[0]));
    s[1] = 0;
    return s;
}

TEST_F(List, DupAndAppendListAreShallowUnlessACopyIsGiven) {
    fill();
    list *shallow = list_dup(l, nullptr);
    EXPECT_EQ(walk(shallow), walk(l));
    EXPECT_NE(shallow->first, l->first);
    list *deep = list_dup(l, upper);
    EXPECT_STREQ(static_cast<char *>(list_get_data_indexed(deep, 2)), "C");
    list_free(deep, std::free);
    EXPECT_EQ(list_dup(nullptr, nullptr), nullptr);

    list *dst = list_create();
    EXPECT_EQ(list_append_list(dst, l), l);
    EXPECT_EQ(walk(dst), (std::vector<void *>{A, B, C}));
    EXPECT_EQ(dst->first->prev, nullptr);
    list *empty = list_create();
    list_append_list(dst, empty);
    list_append_list(dst, shallow);
    EXPECT_EQ(walk(dst), (std::vector<void *>{A, B, C, A, B, C}));
    EXPECT_EQ(walk(l), (std::vector<void *>{A, B, C}));  // source untouched
    list_append_list(nullptr, l);
    list_free(dst, nullptr);
    list_free(empty, nullptr);
    list_free(shallow, nullptr);
}

TEST_F(List, ListOfListsReleasesOnlyInnerElements) {
    list *outer = list_create();
    list *inner1 = list_create();
    list *inner2 = list_create();
    list_append_last(inner1, A);
    list_append_last(inner1, B);
    list_append_last(inner2, C);
    list_append_last(outer, inner1);
    list_append_last(outer, inner2);
    list_of_lists_free(outer, record_release);
    EXPECT_EQ(released, (std::vector<void *>{A, B, C}));
    list_of_lists_free(nullptr, record_release);
}

TEST_F(List, DebugPrintsStrings) {
    list_append_last(l, A);
    list_append_last(l, B);
    testing::internal::CaptureStdout();
    list_debug(l);
    list_debug(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "a b \n");
}

void write_first_char(buf *b, void *p) { buf_write_byte(b, static_cast<uint8_t>(static_cast<char *>(p)[0])); }

TEST_F(List, WriteListPrefixesTheCount) {
    test::buf_ptr b(buf_create());
    buf_write_list(b.get(), nullptr, write_first_char);
    buf_write_list(b.get(), l, write_first_char);
    fill();
    buf_write_list(b.get(), l, nullptr);
    buf_write_list(b.get(), l, write_first_char);
    EXPECT_EQ(test::contents(b.get()), test::hex("00 00 03 03 61 62 63"));
}

}  // namespace
