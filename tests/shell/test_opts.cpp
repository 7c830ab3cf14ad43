// Command line and options files into the application record.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "opts.h"
#include "timecode.h"

namespace {

struct app_deleter
{
    void operator()(instance_t *p) const { free(p); }
};
using app_ptr = std::unique_ptr<instance_t, app_deleter>;

app_ptr fresh()
{
    app_ptr app(static_cast<instance_t *>(calloc(1, sizeof(instance_t))));
    instance_opt_defaults(app.get());
    return app;
}

/* Parses words as a command line (argv[0] is the program) and returns the
 * result with what went to standard error. */
int parse(instance_t *app, std::vector<std::string> words, std::string *err = nullptr)
{
    words.insert(words.begin(), "PelmoraBoxUI");
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStderr();
    int r = instance_opt((int)words.size(), argv.data(), app);
    std::string e = testing::internal::GetCapturedStderr();
    if (err)
        *err = e;
    return r;
}

struct temp_file
{
    std::string path;
    explicit temp_file(const std::string &text)
    {
        char tmpl[] = "/tmp/pelmora-opts-XXXXXX";
        int fd = mkstemp(tmpl);
        path = tmpl;
        if (fd >= 0) {
            if (write(fd, text.data(), text.size()) != (ssize_t)text.size())
                path.clear();
            close(fd);
        }
    }
    ~temp_file() { unlink(path.c_str()); }
};

std::vector<std::string> captured_args;
int capture_cb(int argc, char **argv, instance_t *)
{
    captured_args.assign(argv, argv + argc);
    return 7;
}

} // namespace

TEST(Opts, NoBusIsAValidParseAndColoursHaveDefaults)
{
    auto app = fresh();
    EXPECT_EQ(parse(app.get(), {}), 0);
    EXPECT_EQ(app->bus.count, 0);
    EXPECT_STREQ(app->color_item_bg_subclip, "#c47603");
    EXPECT_STREQ(app->color_item_fg_subclip, "#FFFFFF");
    EXPECT_STREQ(app->color_item_bg_error_range, "#FF0000");
    EXPECT_STREQ(app->color_item_fg_error_range, "#FFFFFF");
}

TEST(Opts, EightBusesAcceptedTheNinthRefused)
{
    auto app = fresh();
    std::vector<std::string> w;
    for (int i = 0; i < 8; i++)
        w.push_back("--add-bus=B" + std::to_string(i));
    EXPECT_EQ(parse(app.get(), w), 0);
    EXPECT_EQ(app->bus.count, 8);
    EXPECT_STREQ(app->bus.list[7].title, "B7");
    EXPECT_EQ(app->bus.list[3].app, app.get());

    std::string err;
    w.push_back("--add-bus=B8");
    auto app2 = fresh();
    EXPECT_EQ(parse(app2.get(), w, &err), 1);
    EXPECT_EQ(err, "ERROR! Too many busses\n");
    EXPECT_EQ(app2->bus.count, 8);
}

TEST(Opts, BusOptionsBeforeAddBusAreRefusedByName)
{
    const char *bus_options[] = {"lib=h:1",
                                 "io-preview=h:1",
                                 "host=h:1",
                                 "idx=1",
                                 "helper-type-path=H@/a",
                                 "special-item=x",
                                 "icon=x.png",
                                 "lib-no-thumbs",
                                 "long-start-offset=1",
                                 "prv-io=h:1",
                                 "tz=UTC",
                                 "filter-playlist-keyword=k",
                                 "filter-playlist-date-today",
                                 "filter-playlist-date-tomorrow",
                                 "filter-playlist-date-yesterday",
                                 "assets-details-height=10",
                                 "show-type-C-remain",
                                 "show-type-L-remain",
                                 "auxmedia-columns=1",
                                 "media-completition=/a",
                                 "filter-playlist-sgt-suffixes=AB",
                                 "xkeys-row=1",
                                 "xkeys-col=1"};
    for (const char *o : bus_options) {
        auto app = fresh();
        std::string err;
        std::string opt = std::string("--") + o;
        EXPECT_EQ(parse(app.get(), {opt}, &err), 1) << o;
        std::string name(o);
        name = name.substr(0, name.find('='));
        EXPECT_EQ(err, "ERROR! Ambigous --" + name + ". Specify --add-bus first\n");
    }
}

TEST(Opts, BusOptionsFillTheLastBus)
{
    auto app = fresh();
    ASSERT_EQ(parse(app.get(), {"--add-bus",
                                "A",
                                "--host=h:1",
                                "--add-bus=B",
                                "--host",
                                "srv:900",
                                "--idx=3",
                                "--lib=lib:10",
                                "--io-preview=io:20",
                                "--prv-io=io:21",
                                "--tz=Europe/Paris",
                                "--long-start-offset=-2",
                                "--xkeys-row=2",
                                "--xkeys-col=1",
                                "--filter-playlist-date-today",
                                "--filter-playlist-date-tomorrow",
                                "--filter-playlist-date-yesterday",
                                "--lib-no-thumbs",
                                "--auxmedia-columns=5",
                                "--assets-details-height",
                                "120",
                                "--special-item=#LIVE"}),
              0);
    ASSERT_EQ(app->bus.count, 2);
    EXPECT_STREQ(app->bus.list[0].url, "http://h:1/RPC2");
    const bus_t &b = app->bus.list[1];
    EXPECT_STREQ(b.host, "srv:900");
    EXPECT_STREQ(b.url, "http://srv:900/RPC2");
    EXPECT_EQ(b.idx, 3);
    EXPECT_STREQ(b.lib.url, "http://lib:10/RPC2");
    EXPECT_STREQ(b.preview.host, "io:20");
    EXPECT_STREQ(b.preview.url, "http://io:20/RPC2");
    EXPECT_STREQ(b.prv.host, "io:21");
    EXPECT_STREQ(b.tz.value, "TZ=Europe/Paris");
    EXPECT_EQ(b.long_start_offset, -2);
    EXPECT_EQ(b.xkeys_row, 2);
    EXPECT_EQ(b.xkeys_col, 1);
    EXPECT_EQ(b.filter_playlist.f_date, 1 | 2 | 4);
    EXPECT_EQ(b.lib.f_no_thumbs, 1);
    EXPECT_EQ(b.f_auxmedia_columns, 5);
    EXPECT_EQ(b.event_details.height, 120);
    EXPECT_STREQ(b.special_item, "#LIVE");
}

TEST(Opts, LongOptionRules)
{
    auto app = fresh();
    std::string err;
    /* A unique prefix abbreviates; an exact name wins over longer ones. */
    EXPECT_EQ(parse(app.get(), {"--short=1", "--add-bus=A", "--lib=x:1"}), 0);
    EXPECT_EQ(app->f_short_timers, 1);
    EXPECT_STREQ(app->bus.list[0].lib.host, "x:1");
    EXPECT_EQ(app->bus.list[0].lib.f_no_thumbs, 0);

    auto app2 = fresh();
    EXPECT_EQ(parse(app2.get(), {"--add-bus=A", "--filter-playlist-date"}, &err), 1);
    EXPECT_EQ(err, "ERROR: Incorrect argument! ([--filter-playlist-date])\n");

    /* --long-start takes an argument it never reads: without "=" it swallows
     * the next word. */
    auto app3 = fresh();
    EXPECT_EQ(parse(app3.get(), {"--long-start", "--add-bus=A"}), 0);
    EXPECT_EQ(app3->f_long_start, 1);
    EXPECT_EQ(app3->bus.count, 0);
}

TEST(Opts, UnknownOptionsMissingArgumentsAndHelpAreRefused)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bogus"}, "--bogus"}, {{"--add-bus"}, "--add-bus"},          {{"-h"}, "-h"},
        {{"--help"}, "--help"},   {{"--add-bus=A", "--host"}, "--host"},
    };
    for (const auto &c : cases) {
        auto app = fresh();
        std::string err;
        EXPECT_EQ(parse(app.get(), c.first, &err), 1) << c.second;
        EXPECT_EQ(err, "ERROR: Incorrect argument! ([" + c.second + "])\n");
    }
}

TEST(Opts, HelperTypeColor)
{
    auto app = fresh();
    EXPECT_EQ(parse(app.get(), {"--helper-type-color=H:#FF00FF:#0000FF"}), 0);
    EXPECT_STREQ(app->helper_type_color['H'][0], "#FF00FF");
    EXPECT_STREQ(app->helper_type_color['H'][1], "#0000FF");
    EXPECT_STREQ(app->helper_type_color['G'][0], "");

    std::string err;
    auto app2 = fresh();
    EXPECT_EQ(parse(app2.get(), {"--helper-type-color=H:#FF00FF:#0000F"}, &err), 1);
    EXPECT_EQ(err, "ERROR! wrong format for --helper-type-color [H:#FF00FF:#0000F]. please specify "
                   "--helper-type-color=\"H:#FF00FF:#0000FF\"\n");
    /* A type letter above 127 indexes the table as an unsigned byte. */
    auto app3 = fresh();
    EXPECT_EQ(parse(app3.get(), {"--helper-type-color=\xe9:#010203:#040506"}), 0);
    EXPECT_STREQ(app3->helper_type_color[0xe9][1], "#040506");
}

TEST(Opts, HelperTypePathAndLookup)
{
    auto app = fresh();
    ASSERT_EQ(parse(app.get(), {"--add-bus=A", "--helper-type-path=H@/news/daily#logo", "--helper-type-path=C@/ads",
                                "--helper-type-path=Xnoat"}),
              0);
    bus_t *b = &app->bus.list[0];
    ASSERT_EQ(b->helper_type_path_len, 2);
    EXPECT_EQ(b->helper_type_path[0].type, 'H');
    EXPECT_STREQ(b->helper_type_path[0].path, "/news/daily");
    EXPECT_STREQ(b->helper_type_path[0].assets, "logo");
    EXPECT_STREQ(b->helper_type_path[1].assets, "");

    EXPECT_EQ(instance_helper_type_path_lookup(b, "/news/daily/a.mxf"), 0);
    EXPECT_EQ(instance_helper_type_path_lookup(b, "/ads/spot.mxf"), 1);
    EXPECT_EQ(instance_helper_type_path_lookup(b, "/news/a.mxf"), -2);
    EXPECT_EQ(instance_helper_type_path_lookup(b, "a.mxf"), -2);
    EXPECT_EQ(instance_helper_type_path_lookup(b, nullptr), -2);

    std::string err;
    auto app2 = fresh();
    EXPECT_EQ(parse(app2.get(), {"--add-bus=A", "--helper-type-path=H@/"}, &err), 1);
    EXPECT_EQ(err, "ERROR! wrong format for --helper-type-path. please specify "
                   "--helper-type-path=\"H@/<path>[#<assets>]\"\n");

    /* Past fifty entries further ones are dropped silently. */
    auto app3 = fresh();
    std::vector<std::string> w = {"--add-bus=A"};
    for (int i = 0; i < 60; i++)
        w.push_back("--helper-type-path=T@/p" + std::to_string(i));
    EXPECT_EQ(parse(app3.get(), w, &err), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(app3->bus.list[0].helper_type_path_len, 50);
    EXPECT_STREQ(app3->bus.list[0].helper_type_path[49].path, "/p49");
}

TEST(Opts, TimecodeModeOption)
{
    tc_modes_t saved = tc_getmode();
    auto app = fresh();
    std::string err;
    EXPECT_EQ(parse(app.get(), {"--tc-mode=ntsc_df"}, &err), 0);
    EXPECT_EQ(tc_getmode(), TC_NTSC_DF);
    EXPECT_EQ(parse(app.get(), {"--tc-mode=NTSC", "--add-bus=A"}, &err), 0);
    EXPECT_EQ(err, "Error! Failed to set tc_mode=[NTSC]\n");
    EXPECT_EQ(tc_getmode(), TC_NTSC_DF);
    EXPECT_EQ(app->bus.count, 1);
    tc_setmode(saved);
}

TEST(Opts, TextsAreTruncatedAndNumbersReadLeniently)
{
    auto app = fresh();
    std::string long_title(400, 'x');
    ASSERT_EQ(parse(app.get(), {"--window-title=" + long_title, "--add-bus=A", "--idx=abc", "--xkeys-row=2x"}), 0);
    EXPECT_EQ(strlen(app->window_title), 259u);
    EXPECT_EQ(app->bus.list[0].idx, 0);
    EXPECT_EQ(app->bus.list[0].xkeys_row, 2);
}

TEST(OptsFile, LinesBecomeArgumentsWholeAndTrimmed)
{
    temp_file f("\n# a comment\n   --long-start=1 \t\r\n--window-title=Studio A\n\n");
    captured_args.clear();
    auto app = fresh();
    EXPECT_EQ(opts_from_file(f.path.c_str(), app.get(), capture_cb), 7);
    ASSERT_EQ(captured_args.size(), 3u);
    EXPECT_EQ(captured_args[0], f.path);
    EXPECT_EQ(captured_args[1], "--long-start=1");
    EXPECT_EQ(captured_args[2], "--window-title=Studio A");

    temp_file empty("# nothing\n\n   \n");
    EXPECT_EQ(opts_from_file(empty.path.c_str(), app.get(), capture_cb), 0);
}

TEST(OptsFile, BlankInsteadOfEqualsIsOneUnknownArgument)
{
    temp_file f("--add-bus=A\n--host 10.0.0.5:8000\n");
    auto app = fresh();
    std::string err;
    EXPECT_EQ(parse(app.get(), {f.path}, &err), 1);
    EXPECT_EQ(err, "ERROR: Incorrect argument! ([--host 10.0.0.5:8000])\n");
}

TEST(OptsFile, FilesAreReadAfterAllOptionsInOrder)
{
    temp_file a("--window-title=From A\n--add-bus=FA\n");
    temp_file b("--window-title=From B\n--add-bus=FB\n");
    auto app = fresh();
    ASSERT_EQ(parse(app.get(), {a.path, "--window-title=Command line", b.path, "--add-bus=CL"}), 0);
    EXPECT_STREQ(app->window_title, "From B");
    ASSERT_EQ(app->bus.count, 3);
    EXPECT_STREQ(app->bus.list[0].title, "CL");
    EXPECT_STREQ(app->bus.list[1].title, "FA");
    EXPECT_STREQ(app->bus.list[2].title, "FB");
}

TEST(OptsFile, FilesNameFurtherFilesAndResultsAddUp)
{
    temp_file inner("--window-title=Inner\n");
    temp_file outer("--add-bus=A\n" + inner.path + "\n/nonexistent/pelmora.opts\n");
    auto app = fresh();
    std::string err;
    EXPECT_EQ(parse(app.get(), {outer.path, "/nonexistent/other.opts"}, &err), 2);
    EXPECT_STREQ(app->window_title, "Inner");
    EXPECT_NE(err.find("opts_from_file: failed to open [/nonexistent/pelmora.opts]\n"), std::string::npos);
    EXPECT_NE(err.find("opts_from_file: failed to open [/nonexistent/other.opts]\n"), std::string::npos);
}

TEST(OptsFile, ManyLinesAndLongLinesNeverOverrun)
{
    std::string text;
    for (int i = 0; i < 1000; i++)
        text += "--add-bus=B" + std::to_string(i % 8) + "\n";
    text += std::string(600, 'y') + "\n";
    temp_file f(text);
    captured_args.clear();
    auto app = fresh();
    opts_from_file(f.path.c_str(), app.get(), capture_cb);
    /* 1000 lines, the 600-character line read as three pieces, the name. */
    ASSERT_EQ(captured_args.size(), 1004u);
    EXPECT_EQ(captured_args[1001].size(), 259u);
    EXPECT_EQ(captured_args[1003].size(), 600u - 2 * 259u);
}

TEST(OptsFile, AFileNamingItselfEnds)
{
    char tmpl[] = "/tmp/pelmora-self-XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    std::string self = std::string(tmpl) + "\n";
    ASSERT_EQ(write(fd, self.data(), self.size()), (ssize_t)self.size());
    close(fd);
    auto app = fresh();
    std::string err;
    EXPECT_NE(parse(app.get(), {tmpl}, &err), 0);
    EXPECT_NE(err.find("nested too deeply"), std::string::npos);
    unlink(tmpl);
}

TEST(OptsFile, FilesNamingEachOtherManyTimesAreBounded)
{
    /* Three references per file would mean 3^16 reads without a total bound. */
    char tmpl[] = "/tmp/pelmora-fan-XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    std::string text = "--debug\n" + std::string(tmpl) + "\n" + tmpl + "\n" + tmpl + "\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
    close(fd);
    auto app = fresh();
    std::string err;
    EXPECT_NE(parse(app.get(), {tmpl}, &err), 0);
    EXPECT_GE(app->f_debug, OPTS_FILE_MAX_DEPTH);
    EXPECT_LE(app->f_debug, OPTS_FILES_MAX);
    EXPECT_NE(err.find("too many options files"), std::string::npos);
    unlink(tmpl);
}

TEST(Opts, UsageTextAsItStands)
{
    testing::internal::CaptureStderr();
    instance_usage();
    std::string u = testing::internal::GetCapturedStderr();
    EXPECT_EQ(u.rfind("Usage:\n\t--lib=<HOST:PORT>            Library instance connection: Host:port\n", 0), 0u);
    EXPECT_NE(u.find("\t--sched=<HOST:PORT>          Schedule servive host\n"), std::string::npos);
    const std::string last = "\t--long-start-offset=-2       Long date in START column hours offset\n";
    ASSERT_GE(u.size(), last.size());
    EXPECT_EQ(u.substr(u.size() - last.size()), last);
    EXPECT_EQ(std::count(u.begin(), u.end(), '\n'), 13);
}
