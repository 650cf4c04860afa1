#include "core/list/list.h"

#include <cstdio>
#include <cstdlib>

#include "core/buffer/buf_enc.h"

namespace {

list_node *node_create(void *data) {
    list_node *node = static_cast<list_node *>(calloc(1, sizeof(list_node)));
    if (node != nullptr) node->data = data;
    return node;
}

list_node *node_at(const list *l, int32_t index) {
    list_node *node = l->first;
    for (int32_t i = 0; node != nullptr && i < index; i++) node = node->next;
    return node;
}

// Releases a chain of nodes, calling `release` on each element first.
void release_nodes(list_node *node, release_fn release) {
    while (node != nullptr) {
        list_node *next = node->next;
        if (release != nullptr) release(node->data);
        free(node);
        node = next;
    }
}

}  // namespace

list *list_create(void) { return static_cast<list *>(calloc(1, sizeof(list))); }

list *list_clear(list *l, release_fn release) {
    if (l == nullptr) return nullptr;
    release_nodes(l->first, release);
    l->first = l->last = nullptr;
    return l;
}

void list_free(list *l, release_fn release) {
    if (l == nullptr) return;
    list_clear(l, release);
    free(l);
}

void list_of_lists_free(list *outer, release_fn release) {
    if (outer == nullptr) return;
    list_node *node = outer->first;
    while (node != nullptr) {
        list_node *next = node->next;
        list_free(static_cast<list *>(node->data), release);
        free(node);
        node = next;
    }
    free(outer);
}

list_node *list_insert(list *l, list_node *anchor, void *data) {
    list_node *node = node_create(data);
    if (node == nullptr) return nullptr;
    if (anchor == nullptr) {
        l->first = l->last = node;
        return node;
    }
    node->prev = anchor->prev;
    node->next = anchor;
    if (anchor->prev != nullptr) anchor->prev->next = node;
    anchor->prev = node;
    if (node->prev == nullptr) l->first = node;
    return node;
}

list_node *list_append(list *l, list_node *anchor, void *data) {
    list_node *node = node_create(data);
    if (node == nullptr) return nullptr;
    if (anchor == nullptr) {
        l->first = l->last = node;
        return node;
    }
    node->next = anchor->next;
    node->prev = anchor;
    if (anchor->next != nullptr) anchor->next->prev = node;
    anchor->next = node;
    if (node->next == nullptr) l->last = node;
    return node;
}

list_node *list_insert_first(list *l, void *data) {
    return l == nullptr ? nullptr : list_insert(l, l->first, data);
}

list_node *list_append_last(list *l, void *data) {
    return l == nullptr ? nullptr : list_append(l, l->last, data);
}

int32_t list_get_size(const list *l) {
    if (l == nullptr) return -1;
    int32_t size = 0;
    for (list_node *node = l->first; node != nullptr; node = node->next) size++;
    return size;
}

void *list_get_data_first(const list *l) {
    return l == nullptr || l->first == nullptr ? nullptr : l->first->data;
}

void *list_get_data_last(const list *l) {
    return l == nullptr || l->last == nullptr ? nullptr : l->last->data;
}

void *list_get_data_indexed(const list *l, int32_t index) {
    if (l == nullptr) return nullptr;
    list_node *node = node_at(l, index);
    return node == nullptr ? nullptr : node->data;
}

int32_t list_cmp(const list *a, const list *b, equal_fn equal) {
    if (equal == nullptr) return 0;
    int32_t size = list_get_size(a);
    if (size != list_get_size(b)) return 0;
    for (int32_t i = 0; i < size; i++) {
        if (!equal(list_get_data_indexed(a, i), list_get_data_indexed(b, i))) return 0;
    }
    return 1;
}

void list_set_data_indexed(list *l, int32_t index, void *data, release_fn release) {
    if (l == nullptr || index < 0) return;
    list_node *node = node_at(l, index);
    if (node == nullptr) return;
    if (node->data != nullptr && release != nullptr) release(node->data);
    node->data = data;
}

void list_remove_data_indexed(list *l, int32_t index, release_fn release) {
    // A negative index names no node, as for setting.
    if (l == nullptr || index < 0) return;
    list_node *node = node_at(l, index);
    if (node == nullptr) return;
    if (node->data != nullptr && release != nullptr) release(node->data);
    if (node->prev != nullptr) {
        node->prev->next = node->next;
    } else {
        l->first = node->next;
    }
    if (node->next != nullptr) {
        node->next->prev = node->prev;
    } else {
        l->last = node->prev;
    }
    free(node);
}

list *list_dup(const list *l, copy_fn copy) {
    if (l == nullptr) return nullptr;
    list *dup = list_create();
    if (dup == nullptr) return nullptr;
    // All nodes are allocated before any element is copied, so a failure
    // leaves no copied element behind without an owner.
    for (list_node *node = l->first; node != nullptr; node = node->next) {
        if (list_append(dup, dup->last, node->data) == nullptr) {
            list_free(dup, nullptr);
            return nullptr;
        }
    }
    if (copy != nullptr) {
        for (list_node *node = dup->first; node != nullptr; node = node->next) node->data = copy(node->data);
    }
    return dup;
}

list *list_append_list(list *dst, list *src) {
    if (dst == nullptr || src == nullptr || src->first == nullptr) return src;
    list *chain = list_dup(src, nullptr);
    if (chain == nullptr) return src;
    chain->first->prev = dst->last;
    if (dst->last != nullptr) {
        dst->last->next = chain->first;
    } else {
        dst->first = chain->first;
    }
    dst->last = chain->last;
    free(chain);
    return src;
}

void list_debug(const list *l) {
    if (l == nullptr) return;
    for (list_node *node = l->first; node != nullptr; node = node->next) {
        printf("%s ", static_cast<const char *>(node->data));
    }
    putchar('\n');
}

void buf_write_list(buf *b, const list *l, writer_fn writer) {
    if (l == nullptr) {
        buf_write_uint32_enc(b, 0);
        return;
    }
    int32_t size = list_get_size(l);
    buf_write_uint32_enc(b, static_cast<uint32_t>(size));
    if (size > 0 && writer != nullptr) {
        for (list_node *node = l->first; node != nullptr; node = node->next) writer(b, node->data);
    }
}
