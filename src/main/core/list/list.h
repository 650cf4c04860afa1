/* Doubly linked list of opaque pointer-sized elements. The list owns its
   nodes, never its elements. */
#ifndef KESTRAVA_LIST_H
#define KESTRAVA_LIST_H

#include <stdbool.h>
#include <stdint.h>

#include "core/buffer/buf.h"

typedef struct list_node {
    struct list_node *prev, *next;
    void *data;
} list_node;

typedef struct list {
    list_node *first, *last;
} list;

typedef void (*release_fn)(void *);
typedef void *(*copy_fn)(void *);
typedef bool (*equal_fn)(void *, void *);
typedef void (*writer_fn)(buf *, void *);

KESTRAVA_API list *list_create(void);
KESTRAVA_API list *list_clear(list *l, release_fn release);
KESTRAVA_API void list_free(list *l, release_fn release);
KESTRAVA_API void list_of_lists_free(list *outer, release_fn release);
KESTRAVA_API list_node *list_insert(list *l, list_node *anchor, void *data);
KESTRAVA_API list_node *list_append(list *l, list_node *anchor, void *data);
KESTRAVA_API list_node *list_insert_first(list *l, void *data);
KESTRAVA_API list_node *list_append_last(list *l, void *data);
KESTRAVA_API int32_t list_get_size(const list *l);
KESTRAVA_API void *list_get_data_first(const list *l);
KESTRAVA_API void *list_get_data_last(const list *l);
KESTRAVA_API void *list_get_data_indexed(const list *l, int32_t index);
KESTRAVA_API int32_t list_cmp(const list *a, const list *b, equal_fn equal);
KESTRAVA_API void list_set_data_indexed(list *l, int32_t index, void *data, release_fn release);
KESTRAVA_API void list_remove_data_indexed(list *l, int32_t index, release_fn release);
KESTRAVA_API list *list_dup(const list *l, copy_fn copy);
KESTRAVA_API list *list_append_list(list *dst, list *src);
KESTRAVA_API void list_debug(const list *l);
KESTRAVA_API void buf_write_list(buf *b, const list *l, writer_fn writer);

#endif
