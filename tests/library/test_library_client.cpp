// The library client against in-process servers that answer what a real
// library server might, and what a broken or hostile one would: sort orders,
// the item reader's tolerance, malformed lists, a flooding journal, huge and
// broken thumbnails, silent "nothing more found".
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "pelmora.h"
#include "pelmora_lib.h"
#include "test_xmlrpc_server.h"

namespace {

class PoolEnv : public testing::Environment
{
  public:
    void SetUp() override { pelmora_init("library-client-test", "0"); }
    void TearDown() override { pelmora_release(); }
};
testing::Environment *const pool_env = testing::AddGlobalTestEnvironment(new PoolEnv);

xmlrpc_value *names_list(xmlrpc_env *env, std::initializer_list<const char *> names)
{
    xmlrpc_value *list = xmlrpc_array_new(env);
    for (const char *n : names) {
        xmlrpc_value *e = xmlrpc_build_value(env, "{s:s}", "name", n);
        xmlrpc_array_append_item(env, list, e);
        xmlrpc_DECREF(e);
    }
    xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:A}", "result", 0, "list", list);
    xmlrpc_DECREF(list);
    return v;
}

void free_items(pelmora_lib_item_t **items, int n)
{
    for (int i = 0; i < n; i++)
        free(items[i]);
    free(items);
}

} // namespace

TEST(LibraryClient, SortOrdersAndFullPaths)
{
    test_xmlrpc_server srv([](xmlrpc_env *env, const std::string &, xmlrpc_value *) {
        return names_list(env, {"b", "A", "c"});
    });
    pelmora_lib_dir_t **dirs = nullptr;
    ASSERT_EQ(3, pelmora_lib_list_dirs(srv.url().c_str(), "/media", &dirs));
    EXPECT_STREQ("c", dirs[0]->name);
    EXPECT_STREQ("b", dirs[1]->name);
    EXPECT_STREQ("A", dirs[2]->name);
    EXPECT_STREQ("/media/c", dirs[0]->full);
    for (int i = 0; i < 3; i++)
        free(dirs[i]);
    free(dirs);

    pelmora_lib_item_t **items = nullptr;
    ASSERT_EQ(3, pelmora_lib_list_items(srv.url().c_str(), "/", &items));
    EXPECT_STREQ("A", items[0]->name);
    EXPECT_STREQ("b", items[1]->name);
    EXPECT_STREQ("c", items[2]->name);
    EXPECT_STREQ("/A", items[0]->full); // no second slash after a path ending in one
    EXPECT_STREQ("00:00:00:00", items[0]->timecode);
    free_items(items, 3);
    ASSERT_EQ(3, pelmora_lib_list_items(srv.url().c_str(), "", &items));
    EXPECT_STREQ("A", items[0]->full);
    free_items(items, 3);
    EXPECT_EQ("(s)", srv.calls()[1].types);
    ASSERT_EQ(3, pelmora_lib_list_items2(srv.url().c_str(), "/x", &items, 100, 50));
    free_items(items, 3);
    EXPECT_EQ("(sii)", srv.calls().back().types);
}

TEST(LibraryClient, ItemReaderToleratesMissingAndMistypedMembers)
{
    test_xmlrpc_server srv([](xmlrpc_env *env, const std::string &, xmlrpc_value *) {
        // duration_v "0" (the container's duration counts), numbers in the
        // wrong type, garbage in a ratio, no timecode, a huge count.
        xmlrpc_value *item =
            xmlrpc_build_value(env, "{s:s,s:s,s:s,s:i,s:s,s:s,s:s,s:s,s:i,s:I,s:s}", "name", "clip.mov", "duration",
                               "12.5", "duration_v", "0", "width", 1280, "height", "720", "display_aspect_ratio",
                               "16:9", "r_frame_rate", "25/1", "sample_aspect_ratio", "x:y", "st_size", 5, "st_mtime",
                               (xmlrpc_int64)1700000000, "nb_frames", "99999999999999999999");
        xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:S}", "result", 0, "item", item);
        xmlrpc_DECREF(item);
        return v;
    });
    pelmora_lib_item_t it;
    ASSERT_EQ(0, pelmora_lib_meta_item(srv.url().c_str(), "/a/clip.mov", &it));
    EXPECT_STREQ("/a/clip.mov", it.full);
    EXPECT_DOUBLE_EQ(12.5, it.duration);
    EXPECT_EQ(0, it.width); // an int where text belongs: that field only stays empty
    EXPECT_EQ(720, it.height);
    EXPECT_EQ(16, it.dar_num);
    EXPECT_EQ(9, it.dar_den);
    EXPECT_EQ(25, it.r_frame_rate_num);
    EXPECT_EQ(1, it.r_frame_rate_den);
    EXPECT_EQ(0, it.sar_num);
    EXPECT_EQ(0, it.stat_size); // i4 where the server sends i8
    EXPECT_EQ(1700000000, it.stat_mtime);
    EXPECT_EQ(0, it.nb_frames);
    EXPECT_STREQ("00:00:00:00", it.timecode);
}

TEST(LibraryClient, MalformedElementAbandonsTheListAndServerErrorsPassThrough)
{
    test_xmlrpc_server srv([](xmlrpc_env *env, const std::string &method, xmlrpc_value *) -> xmlrpc_value * {
        if (method == "PelmoraLib.LibListDirs")
            return xmlrpc_build_value(env, "{s:i,s:({s:s}{s:i})}", "result", 0, "list", "name", "ok", "name", 5);
        if (method == "PelmoraLib.LibListItems")
            return xmlrpc_build_value(env, "{s:i,s:({s:s}s)}", "result", 0, "list", "name", "ok", "not a struct");
        if (method == "PelmoraLib.LibListSubclips")
            return xmlrpc_build_value(env, "{s:i,s:({s:i,s:i,s:s}{s:i})}", "result", 0, "list", "mark_in", 1,
                                      "duration", 2, "title", "t", "mark_in", 3);
        if (method == "PelmoraLib.LibSearchItem")
            return xmlrpc_build_value(env, "{s:i}", "result", -2);
        return xmlrpc_build_value(env, "{s:i}", "result", -13);
    });
    std::string u = srv.url();
    pelmora_lib_dir_t **dirs = (pelmora_lib_dir_t **)1;
    EXPECT_EQ(-14, pelmora_lib_list_dirs(u.c_str(), "/", &dirs));
    EXPECT_EQ(nullptr, dirs);
    pelmora_lib_item_t **items = (pelmora_lib_item_t **)1;
    EXPECT_EQ(-14, pelmora_lib_list_items(u.c_str(), "/", &items));
    EXPECT_EQ(nullptr, items);
    pelmora_lib_subclip_t **subs = (pelmora_lib_subclip_t **)1;
    EXPECT_EQ(-14, pelmora_lib_list_subclips(u.c_str(), "/c", &subs, nullptr));
    EXPECT_EQ(nullptr, subs);
    EXPECT_EQ(-22, pelmora_lib_list_subclips_free(&subs));
    char dst[260] = "stale";
    EXPECT_EQ(-2, pelmora_lib_search_item(u.c_str(), -1, nullptr, "x", dst));
    EXPECT_STREQ("", dst);
    EXPECT_EQ(-13, pelmora_lib_create_dir(u.c_str(), "/n"));
    pelmora_lib_state_t *st = (pelmora_lib_state_t *)1;
    EXPECT_EQ(-13, pelmora_lib_state(u.c_str(), 128, &st));
    EXPECT_EQ(nullptr, st);
}

TEST(LibraryClient, FloodingJournalIsCutAtTheLimitAndAnEmptyOneStillGivesAState)
{
    int entries = 10000;
    test_xmlrpc_server srv([&](xmlrpc_env *env, const std::string &, xmlrpc_value *) {
        xmlrpc_value *list = xmlrpc_array_new(env);
        for (int i = 0; i < entries; i++) {
            std::string e = "+/clip" + std::to_string(i) + std::string(i == 0 ? 600 : 0, 'x');
            xmlrpc_value *one = xmlrpc_build_value(env, "(s)", e.c_str());
            xmlrpc_array_append_item(env, list, one);
            xmlrpc_DECREF(one);
        }
        xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:I,s:i,s:I,s:I,s:A}", "result", 0, "amend_idx",
                                             (xmlrpc_int64)123456789012LL, "total_items", 7, "free_space",
                                             (xmlrpc_int64)25, "total_space", (xmlrpc_int64)100, "amend_list", list);
        xmlrpc_DECREF(list);
        return v;
    });
    // Ten thousand entries are more than any answer may be: refused whole.
    pelmora_lib_state_t *st = (pelmora_lib_state_t *)1;
    EXPECT_EQ(-14, pelmora_lib_state(srv.url().c_str(), 128, &st));
    EXPECT_EQ(nullptr, st);
    entries = 3000;
    ASSERT_EQ(128, pelmora_lib_state(srv.url().c_str(), 128, &st));
    EXPECT_EQ(123456789012LL, st->amend_idx);
    EXPECT_EQ(128, st->amend_list_len);
    EXPECT_EQ(259u, strlen(st->amend_list_data[0])); // cut to the record's size
    EXPECT_STREQ("+/clip127", st->amend_list_data[127]);
    EXPECT_EQ(75, st->used_space);
    free(st);

    entries = 0;
    ASSERT_EQ(0, pelmora_lib_state(srv.url().c_str(), 128, &st));
    ASSERT_NE(nullptr, st);
    EXPECT_EQ(0, st->amend_list_len);
    EXPECT_EQ(7, st->total_items);
    free(st);
}

TEST(LibraryClient, HugeThumbnailIsRefusedAndBrokenBytesAreHandedOverAsTheyCame)
{
    size_t size = 50u << 20;
    test_xmlrpc_server srv([&](xmlrpc_env *env, const std::string &, xmlrpc_value *) {
        std::string bytes(size, '\x89');
        return xmlrpc_build_value(env, "{s:i,s:6}", "result", 0, "thumb", (const unsigned char *)bytes.data(),
                                  bytes.size());
    });
    void *data = (void *)1;
    int len = 7;
    EXPECT_EQ(-14, pelmora_lib_thumb_item(srv.url().c_str(), "/c", "c", 32, 32, &data, &len));
    EXPECT_EQ(nullptr, data);
    EXPECT_EQ(0, len);
    size = 100; // not an image: decoding it is the tree's job, the client only carries it
    ASSERT_EQ(0, pelmora_lib_thumb_item(srv.url().c_str(), "/c", "c", 32, 32, &data, &len));
    EXPECT_EQ(100, len);
    free(data);
    EXPECT_EQ("(ssii)", srv.calls().back().types);
}
