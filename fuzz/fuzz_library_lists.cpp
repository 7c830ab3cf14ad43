// Library list answers: any answer text the transport's guard passes is read
// as a folder list, an item list, a subclip list and a simple string list.
// A list that comes back holds exactly the returned count of records, then
// its terminating null; every text stays terminated within its field.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_answer.h"
#include "pelmora.h"
#include "pelmora_lib.h"

template <typename T> static void check_list(T **list, int n)
{
    if ((n >= 0) != (list != nullptr))
        abort();
    for (int i = 0; list && i < n; i++)
        if (!list[i])
            abort();
    if (list && list[n])
        abort();
}

static void check_text(const char *s, size_t size)
{
    if (strnlen(s, size) == size)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    xmlrpc_value *res = fuzz_answer(data, size);
    if (!res)
        return 0;

    pelmora_lib_dir_t **dirs = nullptr;
    int n = pelmora_lib_dirs_read("fuzz", res, "/news", &dirs);
    check_list(dirs, n);
    for (int i = 0; dirs && i < n; i++) {
        check_text(dirs[i]->name, sizeof dirs[i]->name);
        check_text(dirs[i]->full, sizeof dirs[i]->full);
        free(dirs[i]);
    }
    free(dirs);

    pelmora_lib_item_t **items = nullptr;
    n = pelmora_lib_items_read("fuzz", res, "/news", &items);
    check_list(items, n);
    for (int i = 0; items && i < n; i++) {
        check_text(items[i]->full, sizeof items[i]->full);
        check_text(items[i]->timecode, sizeof items[i]->timecode);
        free(items[i]);
    }
    free(items);

    /* A subclip list is null when empty; a non-empty one is as above. */
    pelmora_lib_item_t parent;
    pelmora_lib_subclip_t **subs = nullptr;
    n = pelmora_lib_subclips_read("fuzz", res, &parent, &subs);
    if (n > 0)
        check_list(subs, n);
    for (int i = 0; subs && i < n; i++) {
        check_text(subs[i]->title, sizeof subs[i]->title);
        if (subs[i]->idx != i || subs[i]->parent != &parent)
            abort();
    }
    if (subs)
        pelmora_lib_list_subclips_free(&subs);

    /* The simple list reader releases the answer it is given. */
    xmlrpc_INCREF(res);
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    char **list = nullptr;
    n = parse_simple_list_response("fuzz", &env, res, &list);
    xmlrpc_env_clean(&env);
    check_list(list, n);
    for (int i = 0; list && list[i]; i++)
        free(list[i]);
    free(list);

    xmlrpc_DECREF(res);
    return 0;
}
