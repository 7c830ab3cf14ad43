/* Command line and options files into instance_desc. Long options follow the
 * usual rules (unique prefixes, exact names win, --name=value or --name value,
 * non-options taken last as options files). */
#include "opts.h"

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "strl.h"
#include "timecode.h"

namespace {

char audio_map_helper[260];
int opts_file_depth;
int opts_files_read;

int int_arg(const char *s)
{
    return (int)strtol(s ? s : "", nullptr, 10);
}

void make_url(char *url, const char *hostport)
{
    /* A 259-character host leaves no room for the rest: cut, never overrun. */
    std::string u = std::string("http://") + hostport + "/RPC2";
    strlcpy(url, u.c_str(), 260);
}

/* An int or a text field of the application or of a bus, as a row names it. */
struct field_ref
{
    int *num = nullptr;
    char *text = nullptr;
    size_t size = 0;
    field_ref(int &i) : num(&i) {}
    template <size_t N> field_ref(char (&s)[N]) : text(s), size(N) {}
};

enum opt_scope
{
    SCOPE_APP, /* the application, or a new bus */
    SCOPE_BUS, /* the bus of the most recent --add-bus; refused before one */
};

enum opt_kind
{
    KIND_FLAG,   /* field = 1 (a required argument is read and ignored) */
    KIND_BITS,   /* field |= bits */
    KIND_INT,    /* field = decimal argument, leniently */
    KIND_TEXT,   /* field = argument, cut to the field */
    KIND_SETTER, /* set() does it; a nonzero return ends the parse with 1 */
    KIND_REFUSE, /* known to the parser only to be refused (--help) */
};

typedef field_ref (*field_fn)(instance_t *app, bus_t *bus);
typedef int (*setter_fn)(instance_t *app, bus_t *bus, const char *arg);

struct opt_row
{
    const char *name;
    int has_arg;
    opt_scope scope;
    opt_kind kind;
    field_fn field;
    int bits;
    setter_fn set;
};

/* One row per line reads as a table. */
// clang-format off
#define APP_FIELD(f) [](instance_t *a, bus_t *) { return field_ref(a->f); }
#define BUS_FIELD(f) [](instance_t *, bus_t *b) { return field_ref(b->f); }

#define APP_FLAG(name, has_arg, f) {name, has_arg, SCOPE_APP, KIND_FLAG, APP_FIELD(f), 0, nullptr}
#define APP_TEXT(name, f) {name, required_argument, SCOPE_APP, KIND_TEXT, APP_FIELD(f), 0, nullptr}
#define BUS_FLAG(name, f) {name, no_argument, SCOPE_BUS, KIND_FLAG, BUS_FIELD(f), 0, nullptr}
#define BUS_BITS(name, f, bits) {name, no_argument, SCOPE_BUS, KIND_BITS, BUS_FIELD(f), bits, nullptr}
#define BUS_INT(name, f) {name, required_argument, SCOPE_BUS, KIND_INT, BUS_FIELD(f), 0, nullptr}
#define BUS_TEXT(name, f) {name, required_argument, SCOPE_BUS, KIND_TEXT, BUS_FIELD(f), 0, nullptr}
#define SETTER(name, has_arg, scope, fn) {name, has_arg, scope, KIND_SETTER, nullptr, 0, fn}
// clang-format on

int set_debug(instance_t *app, bus_t *, const char *)
{
    app->f_debug++;
    return 0;
}

int set_tc_mode(instance_t *, bus_t *, const char *arg)
{
    int m = tc_findmode(arg);
    if (m < 0)
        fprintf(stderr, "Error! Failed to set tc_mode=[%s]\n", arg);
    else
        tc_setmode((tc_modes_t)m);
    return 0;
}

int set_lib(instance_t *, bus_t *bus, const char *arg)
{
    strlcpy(bus->lib.host, arg, sizeof(bus->lib.host));
    make_url(bus->lib.url, bus->lib.host);
    return 0;
}

int set_io_preview(instance_t *, bus_t *bus, const char *arg)
{
    strlcpy(bus->preview.host, arg, sizeof(bus->preview.host));
    make_url(bus->preview.url, bus->preview.host);
    return 0;
}

int set_host(instance_t *, bus_t *bus, const char *arg)
{
    strlcpy(bus->host, arg, sizeof(bus->host));
    make_url(bus->url, bus->host);
    return 0;
}

int add_bus(instance_t *app, bus_t *, const char *arg)
{
    if (app->bus.count >= INSTANCE_MAX_BUSES) {
        fprintf(stderr, "ERROR! Too many busses\n");
        return 1;
    }
    bus_t *bus = &app->bus.list[app->bus.count++];
    strlcpy(bus->title, arg, sizeof(bus->title));
    bus->app = app;
    return 0;
}

/* T:#RRGGBB:#RRGGBB, 17 characters exactly. */
int set_helper_type_color(instance_t *app, bus_t *, const char *arg)
{
    if (strlen(arg) != 17) {
        fprintf(stderr,
                "ERROR! wrong format for --helper-type-color [%s]. please specify "
                "--helper-type-color=\"H:#FF00FF:#0000FF\"\n",
                arg);
        return 1;
    }
    unsigned char t = (unsigned char)arg[0];
    snprintf(app->helper_type_color[t][0], sizeof(app->helper_type_color[t][0]), "%.7s", arg + 2);
    snprintf(app->helper_type_color[t][1], sizeof(app->helper_type_color[t][1]), "%.7s", arg + 10);
    return 0;
}

/* --helper-type-path=T@/path[#assets]: an entry is counted only when an "@"
 * was found; beyond BUS_HELPER_TYPE_PATH_MAX entries further ones are dropped. */
int add_helper_type_path(instance_t *, bus_t *bus, const char *arg)
{
    if (strlen(arg) <= 3) {
        fprintf(stderr, "ERROR! wrong format for --helper-type-path. please specify "
                        "--helper-type-path=\"H@/<path>[#<assets>]\"\n");
        return 1;
    }
    if (bus->helper_type_path_len >= BUS_HELPER_TYPE_PATH_MAX)
        return 0;
    std::string text(arg);
    auto &entry = bus->helper_type_path[bus->helper_type_path_len];
    std::string assets;
    size_t hash = text.rfind('#');
    if (hash != std::string::npos) {
        assets = text.substr(hash + 1);
        text.resize(hash);
    }
    size_t at = text.rfind('@');
    if (at == std::string::npos)
        return 0;
    entry.type = arg[0];
    strlcpy(entry.path, text.c_str() + at + 1, sizeof(entry.path));
    strlcpy(entry.assets, assets.c_str(), sizeof(entry.assets));
    bus->helper_type_path_len++;
    return 0;
}

/* Loaded by the IO settings dialog's channel map presets; only the first
 * option counts. */
int set_audio_map_helper(instance_t *, bus_t *, const char *arg)
{
    if (!audio_map_helper[0])
        strlcpy(audio_map_helper, arg, sizeof(audio_map_helper));
    return 0;
}

int set_tz(instance_t *, bus_t *bus, const char *arg)
{
    strlcpy(bus->tz.value, (std::string("TZ=") + arg).c_str(), sizeof(bus->tz.value));
    return 0;
}

/* One row per option, in the order of the usage documentation. */
const opt_row opt_table[] = {
    SETTER("debug", no_argument, SCOPE_APP, set_debug),
    SETTER("tc-mode", required_argument, SCOPE_APP, set_tc_mode),
    SETTER("lib", required_argument, SCOPE_BUS, set_lib),
    SETTER("io-preview", required_argument, SCOPE_BUS, set_io_preview),
    SETTER("add-bus", required_argument, SCOPE_APP, add_bus),
    SETTER("host", required_argument, SCOPE_BUS, set_host),
    BUS_INT("idx", idx),
    SETTER("helper-type-color", required_argument, SCOPE_APP, set_helper_type_color),
    SETTER("helper-type-path", required_argument, SCOPE_BUS, add_helper_type_path),
    APP_FLAG("short-timers", required_argument, f_short_timers),
    BUS_TEXT("special-item", special_item),
    APP_FLAG("long-start", required_argument, f_long_start),
    BUS_TEXT("icon", title_icon),
    APP_FLAG("hide-console", no_argument, f_hide_console),
    SETTER("audio-map-helper", required_argument, SCOPE_APP, set_audio_map_helper),
    APP_FLAG("hide-media-path", no_argument, f_hide_media_path),
    APP_FLAG("busses-tab-pos-top", no_argument, f_busses_tab_pos_top),
    APP_FLAG("delete-event-confirm", no_argument, f_delete_event_confirm),
    APP_FLAG("bus-start-stop-confirm", no_argument, f_bus_start_stop_confirm),
    BUS_FLAG("lib-no-thumbs", lib.f_no_thumbs),
    APP_FLAG("ab-reconciliation-key", no_argument, f_ab_reconciliation_key),
    BUS_INT("long-start-offset", long_start_offset),
    BUS_TEXT("prv-io", prv.host),
    APP_TEXT("window-title", window_title),
    APP_FLAG("ab-subclip-is-error", no_argument, f_ab_subclip_is_error),
    SETTER("tz", required_argument, SCOPE_BUS, set_tz),
    BUS_TEXT("filter-playlist-keyword", filter_playlist.keyword),
    BUS_BITS("filter-playlist-date-today", filter_playlist.f_date, 1),
    BUS_BITS("filter-playlist-date-tomorrow", filter_playlist.f_date, 4),
    BUS_BITS("filter-playlist-date-yesterday", filter_playlist.f_date, 2),
    APP_TEXT("color-item-bg-subclip", color_item_bg_subclip),
    APP_TEXT("color-item-fg-subclip", color_item_fg_subclip),
    APP_TEXT("color-item-bg-error-range", color_item_bg_error_range),
    APP_TEXT("color-item-fg-error-range", color_item_fg_error_range),
    BUS_INT("assets-details-height", event_details.height),
    BUS_FLAG("show-type-C-remain", f_type_C_remain),
    BUS_FLAG("show-type-L-remain", f_type_L_remain),
    APP_FLAG("sgt-event-id", no_argument, f_sgt_event_id),
    BUS_INT("auxmedia-columns", f_auxmedia_columns),
    BUS_TEXT("media-completition", media_completition),
    APP_FLAG("immediate-actions-confirm", no_argument, f_immediate_actions_confirm),
    BUS_TEXT("filter-playlist-sgt-suffixes", filter_playlist.sgt),
    APP_FLAG("single-instance", no_argument, f_single_instance),
    BUS_INT("xkeys-row", xkeys_row),
    BUS_INT("xkeys-col", xkeys_col),
    APP_FLAG("adonis-branding-key", no_argument, f_adonis_branding_key),
    APP_TEXT("color-label-playlist-curr", color_label_playlist_curr),
    APP_TEXT("color-label-playlist-prev", color_label_playlist_prev),
    /* Known so that it is not taken as a prefix of nothing; refused like any
     * unknown option, and the usage text follows. */
    {"help", no_argument, SCOPE_APP, KIND_REFUSE, nullptr, 0, nullptr},
};

const int OPT_COUNT = (int)(sizeof(opt_table) / sizeof(opt_table[0]));
/* getopt values of the rows: far above any character, so that "h" and '?'
 * never collide with a row. */
const int OPT_VAL_BASE = 1000;

/* The parser's view of the table. Every option has its own value, so that a
 * prefix matching several options is always reported as ambiguous. */
const struct option *long_options(void)
{
    static const std::vector<struct option> opts = [] {
        std::vector<struct option> v;
        for (int i = 0; i < OPT_COUNT; i++)
            v.push_back({opt_table[i].name, opt_table[i].has_arg, nullptr, OPT_VAL_BASE + i});
        v.push_back({nullptr, 0, nullptr, 0});
        return v;
    }();
    return opts.data();
}

/* Applies one row; 0 to go on, 1 to end the parse. */
int apply(const opt_row &row, instance_t *app, bus_t *bus, const char *arg)
{
    if (row.scope == SCOPE_BUS && !bus) {
        fprintf(stderr, "ERROR! Ambigous --%s. Specify --add-bus first\n", row.name);
        return 1;
    }
    switch (row.kind) {
    case KIND_FLAG:
        *row.field(app, bus).num = 1;
        return 0;
    case KIND_BITS:
        *row.field(app, bus).num |= row.bits;
        return 0;
    case KIND_INT:
        *row.field(app, bus).num = int_arg(arg);
        return 0;
    case KIND_TEXT: {
        field_ref f = row.field(app, bus);
        strlcpy(f.text, arg, f.size);
        return 0;
    }
    case KIND_SETTER:
        return row.set(app, bus, arg) ? 1 : 0;
    case KIND_REFUSE:
        break;
    }
    return -1;
}

} // namespace

const char *opts_audio_map_helper(void)
{
    return audio_map_helper;
}

void opts_audio_map_helper_reset(void)
{
    audio_map_helper[0] = 0;
}

void instance_opt_defaults(instance_t *app)
{
    strlcpy(app->color_item_bg_subclip, "#c47603", sizeof(app->color_item_bg_subclip));
    strlcpy(app->color_item_fg_subclip, "#FFFFFF", sizeof(app->color_item_fg_subclip));
    strlcpy(app->color_item_bg_error_range, "#FF0000", sizeof(app->color_item_bg_error_range));
    strlcpy(app->color_item_fg_error_range, "#FFFFFF", sizeof(app->color_item_fg_error_range));
}

int instance_opt(int argc, char **argv, instance_t *app)
{
    int c, idx = 0;

    optind = 0;
    opterr = 0;
    optopt = 0;

    while ((c = getopt_long(argc, argv, "h", long_options(), &idx)) != -1) {
        bus_t *bus = app->bus.count ? &app->bus.list[app->bus.count - 1] : nullptr;
        int row = c - OPT_VAL_BASE;
        int r = (row >= 0 && row < OPT_COUNT) ? apply(opt_table[row], app, bus, optarg) : -1;
        if (r > 0)
            return 1;
        if (r < 0) {
            /* Unknown, ambiguous, missing argument, -h and --help. */
            fprintf(stderr, "ERROR: Incorrect argument! ([%s])\n",
                    (optind > 0 && optind <= argc) ? argv[optind - 1] : "");
            return 1;
        }
    }

    /* The nested parses reset the parser: keep our own position. */
    int r = 0;
    const int first = optind, last = argc;
    for (int i = first; i < last; i++)
        r += opts_from_file(argv[i], app, opts_from_file_cb);
    return r;
}

int opts_from_file_cb(int argc, char **argv, instance_t *app)
{
    return instance_opt(argc, argv, app);
}

int opts_from_file(const char *filename, instance_t *instance, opts_from_file_cb_t cb)
{
    /* Files naming each other several times would be read exponentially
     * often: a whole parse reads a bounded number of files. */
    if (opts_file_depth == 0)
        opts_files_read = 0;
    if (++opts_files_read > OPTS_FILES_MAX) {
        fprintf(stderr, "%s: too many options files, [%s] not read\n", __func__, filename);
        return 1;
    }

    FILE *f = fopen(filename, "r");
    if (!f) {
        fprintf(stderr, "%s: failed to open [%s]\n", __func__, filename);
        return 1;
    }

    /* The vector grows with the file: a file of any length never writes past
     * its end. */
    std::vector<std::string> args;
    args.emplace_back(filename);
    char line[260];
    while (fgets(line, sizeof(line), f)) {
        size_t n = strlen(line);
        while (n && strchr("\n\t\r ", line[n - 1]))
            line[--n] = 0;
        const char *p = line;
        while (*p && strchr("\n\t\r ", *p))
            p++;
        if (!*p || *p == '#')
            continue;
        args.emplace_back(p);
    }
    fclose(f);

    if (args.size() < 2)
        return 0;

    /* A file naming itself, directly or through others, would recurse for
     * ever: refuse it past a fixed depth. */
    if (opts_file_depth >= OPTS_FILE_MAX_DEPTH) {
        fprintf(stderr, "%s: options files nested too deeply at [%s]\n", __func__, filename);
        return 1;
    }

    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    opts_file_depth++;
    int r = cb((int)args.size(), argv.data(), instance);
    opts_file_depth--;
    return r;
}

void instance_usage(void)
{
    fprintf(stderr, "Usage:\n"
                    "\t--lib=<HOST:PORT>            Library instance connection: Host:port\n"
                    "\t--add-ingest=<STR>           Add Ingest sub application\n"
                    "\t--add-schedule=<STR>         Add Scheduled record sub application\n"
                    "\t--io=<HOST:PORT>             Server channel instance connection: Host:port\n"
                    "\t--io-title=<STR>             Server channel title on UI\n"
                    "\t--vtr=<STR>                  VTR serial port\n"
                    "\t--vtr-title=<STR>            VTR title on UI\n"
                    "\t--sched=<HOST:PORT>          Schedule servive host\n"
                    "\t--short-timer=1              Use short variant of timers HH:MM:SS\n"
                    "\t--special-item=<STR>         Define a special item that is used for cue during preview\n"
                    "\t--long-start=1               Show date in START column\n"
                    "\t--long-start-offset=-2       Long date in START column hours offset\n");
}

int instance_helper_type_path_lookup(bus_t *bus, const char *item)
{
    if (!bus || !item)
        return -2;
    const char *slash = strrchr(item, '/');
    if (!slash)
        return -2;
    std::string folder(item, (size_t)(slash - item));
    for (int i = 0; i < bus->helper_type_path_len; i++)
        if (folder == bus->helper_type_path[i].path)
            return i;
    return -2;
}
