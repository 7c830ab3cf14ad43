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

enum opt_id
{
    OPT_DEBUG = 1000,
    OPT_TC_MODE,
    OPT_LIB,
    OPT_IO_PREVIEW,
    OPT_ADD_BUS,
    OPT_HOST,
    OPT_IDX,
    OPT_HELPER_TYPE_COLOR,
    OPT_HELPER_TYPE_PATH,
    OPT_SHORT_TIMERS,
    OPT_SPECIAL_ITEM,
    OPT_LONG_START,
    OPT_ICON,
    OPT_HIDE_CONSOLE,
    OPT_AUDIO_MAP_HELPER,
    OPT_HIDE_MEDIA_PATH,
    OPT_BUSSES_TAB_POS_TOP,
    OPT_DELETE_EVENT_CONFIRM,
    OPT_BUS_START_STOP_CONFIRM,
    OPT_LIB_NO_THUMBS,
    OPT_AB_RECONCILIATION_KEY,
    OPT_LONG_START_OFFSET,
    OPT_PRV_IO,
    OPT_WINDOW_TITLE,
    OPT_AB_SUBCLIP_IS_ERROR,
    OPT_TZ,
    OPT_FILTER_PLAYLIST_KEYWORD,
    OPT_FILTER_PLAYLIST_DATE_TODAY,
    OPT_FILTER_PLAYLIST_DATE_TOMORROW,
    OPT_FILTER_PLAYLIST_DATE_YESTERDAY,
    OPT_COLOR_ITEM_BG_SUBCLIP,
    OPT_COLOR_ITEM_FG_SUBCLIP,
    OPT_COLOR_ITEM_BG_ERROR_RANGE,
    OPT_COLOR_ITEM_FG_ERROR_RANGE,
    OPT_ASSETS_DETAILS_HEIGHT,
    OPT_SHOW_TYPE_C_REMAIN,
    OPT_SHOW_TYPE_L_REMAIN,
    OPT_SGT_EVENT_ID,
    OPT_AUXMEDIA_COLUMNS,
    OPT_MEDIA_COMPLETITION,
    OPT_IMMEDIATE_ACTIONS_CONFIRM,
    OPT_FILTER_PLAYLIST_SGT_SUFFIXES,
    OPT_SINGLE_INSTANCE,
    OPT_XKEYS_ROW,
    OPT_XKEYS_COL,
    OPT_ADONIS_BRANDING_KEY,
    OPT_COLOR_LABEL_PLAYLIST_CURR,
    OPT_COLOR_LABEL_PLAYLIST_PREV,
    OPT_HELP,
};

/* Every option has its own value, so that a prefix matching several options
 * is always reported as ambiguous. */
const struct option long_options[] = {
    {"debug", no_argument, nullptr, OPT_DEBUG},
    {"tc-mode", required_argument, nullptr, OPT_TC_MODE},
    {"lib", required_argument, nullptr, OPT_LIB},
    {"io-preview", required_argument, nullptr, OPT_IO_PREVIEW},
    {"add-bus", required_argument, nullptr, OPT_ADD_BUS},
    {"host", required_argument, nullptr, OPT_HOST},
    {"idx", required_argument, nullptr, OPT_IDX},
    {"helper-type-color", required_argument, nullptr, OPT_HELPER_TYPE_COLOR},
    {"helper-type-path", required_argument, nullptr, OPT_HELPER_TYPE_PATH},
    {"short-timers", required_argument, nullptr, OPT_SHORT_TIMERS},
    {"special-item", required_argument, nullptr, OPT_SPECIAL_ITEM},
    {"long-start", required_argument, nullptr, OPT_LONG_START},
    {"icon", required_argument, nullptr, OPT_ICON},
    {"hide-console", no_argument, nullptr, OPT_HIDE_CONSOLE},
    {"audio-map-helper", required_argument, nullptr, OPT_AUDIO_MAP_HELPER},
    {"hide-media-path", no_argument, nullptr, OPT_HIDE_MEDIA_PATH},
    {"busses-tab-pos-top", no_argument, nullptr, OPT_BUSSES_TAB_POS_TOP},
    {"delete-event-confirm", no_argument, nullptr, OPT_DELETE_EVENT_CONFIRM},
    {"bus-start-stop-confirm", no_argument, nullptr, OPT_BUS_START_STOP_CONFIRM},
    {"lib-no-thumbs", no_argument, nullptr, OPT_LIB_NO_THUMBS},
    {"ab-reconciliation-key", no_argument, nullptr, OPT_AB_RECONCILIATION_KEY},
    {"long-start-offset", required_argument, nullptr, OPT_LONG_START_OFFSET},
    {"prv-io", required_argument, nullptr, OPT_PRV_IO},
    {"window-title", required_argument, nullptr, OPT_WINDOW_TITLE},
    {"ab-subclip-is-error", no_argument, nullptr, OPT_AB_SUBCLIP_IS_ERROR},
    {"tz", required_argument, nullptr, OPT_TZ},
    {"filter-playlist-keyword", required_argument, nullptr, OPT_FILTER_PLAYLIST_KEYWORD},
    {"filter-playlist-date-today", no_argument, nullptr, OPT_FILTER_PLAYLIST_DATE_TODAY},
    {"filter-playlist-date-tomorrow", no_argument, nullptr, OPT_FILTER_PLAYLIST_DATE_TOMORROW},
    {"filter-playlist-date-yesterday", no_argument, nullptr, OPT_FILTER_PLAYLIST_DATE_YESTERDAY},
    {"color-item-bg-subclip", required_argument, nullptr, OPT_COLOR_ITEM_BG_SUBCLIP},
    {"color-item-fg-subclip", required_argument, nullptr, OPT_COLOR_ITEM_FG_SUBCLIP},
    {"color-item-bg-error-range", required_argument, nullptr, OPT_COLOR_ITEM_BG_ERROR_RANGE},
    {"color-item-fg-error-range", required_argument, nullptr, OPT_COLOR_ITEM_FG_ERROR_RANGE},
    {"assets-details-height", required_argument, nullptr, OPT_ASSETS_DETAILS_HEIGHT},
    {"show-type-C-remain", no_argument, nullptr, OPT_SHOW_TYPE_C_REMAIN},
    {"show-type-L-remain", no_argument, nullptr, OPT_SHOW_TYPE_L_REMAIN},
    {"sgt-event-id", no_argument, nullptr, OPT_SGT_EVENT_ID},
    {"auxmedia-columns", required_argument, nullptr, OPT_AUXMEDIA_COLUMNS},
    {"media-completition", required_argument, nullptr, OPT_MEDIA_COMPLETITION},
    {"immediate-actions-confirm", no_argument, nullptr, OPT_IMMEDIATE_ACTIONS_CONFIRM},
    {"filter-playlist-sgt-suffixes", required_argument, nullptr, OPT_FILTER_PLAYLIST_SGT_SUFFIXES},
    {"single-instance", no_argument, nullptr, OPT_SINGLE_INSTANCE},
    {"xkeys-row", required_argument, nullptr, OPT_XKEYS_ROW},
    {"xkeys-col", required_argument, nullptr, OPT_XKEYS_COL},
    {"adonis-branding-key", no_argument, nullptr, OPT_ADONIS_BRANDING_KEY},
    {"color-label-playlist-curr", required_argument, nullptr, OPT_COLOR_LABEL_PLAYLIST_CURR},
    {"color-label-playlist-prev", required_argument, nullptr, OPT_COLOR_LABEL_PLAYLIST_PREV},
    {"help", no_argument, nullptr, OPT_HELP},
    {nullptr, 0, nullptr, 0},
};

char audio_map_helper[260];
int opts_file_depth;
int opts_files_read;

const char *option_name(int id)
{
    for (const struct option *o = long_options; o->name; o++)
        if (o->val == id)
            return o->name;
    return "?";
}

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

/* --helper-type-path=T@/path[#assets]: an entry is counted only when an "@"
 * was found; beyond BUS_HELPER_TYPE_PATH_MAX entries further ones are dropped. */
void add_helper_type_path(bus_t *bus, const char *arg)
{
    if (bus->helper_type_path_len >= BUS_HELPER_TYPE_PATH_MAX)
        return;
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
        return;
    entry.type = arg[0];
    strlcpy(entry.path, text.c_str() + at + 1, sizeof(entry.path));
    strlcpy(entry.assets, assets.c_str(), sizeof(entry.assets));
    bus->helper_type_path_len++;
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

    while ((c = getopt_long(argc, argv, "h", long_options, &idx)) != -1) {
        bus_t *bus = app->bus.count ? &app->bus.list[app->bus.count - 1] : nullptr;

        switch (c) {
        case OPT_LIB:
        case OPT_IO_PREVIEW:
        case OPT_HOST:
        case OPT_IDX:
        case OPT_HELPER_TYPE_PATH:
        case OPT_SPECIAL_ITEM:
        case OPT_ICON:
        case OPT_LIB_NO_THUMBS:
        case OPT_LONG_START_OFFSET:
        case OPT_PRV_IO:
        case OPT_TZ:
        case OPT_FILTER_PLAYLIST_KEYWORD:
        case OPT_FILTER_PLAYLIST_DATE_TODAY:
        case OPT_FILTER_PLAYLIST_DATE_TOMORROW:
        case OPT_FILTER_PLAYLIST_DATE_YESTERDAY:
        case OPT_ASSETS_DETAILS_HEIGHT:
        case OPT_SHOW_TYPE_C_REMAIN:
        case OPT_SHOW_TYPE_L_REMAIN:
        case OPT_AUXMEDIA_COLUMNS:
        case OPT_MEDIA_COMPLETITION:
        case OPT_FILTER_PLAYLIST_SGT_SUFFIXES:
        case OPT_XKEYS_ROW:
        case OPT_XKEYS_COL:
            if (!bus) {
                fprintf(stderr, "ERROR! Ambigous --%s. Specify --add-bus first\n", option_name(c));
                return 1;
            }
            break;
        default:
            break;
        }

        switch (c) {
        case OPT_DEBUG:
            app->f_debug++;
            break;
        case OPT_TC_MODE: {
            int m = tc_findmode(optarg);
            if (m < 0)
                fprintf(stderr, "Error! Failed to set tc_mode=[%s]\n", optarg);
            else
                tc_setmode((tc_modes_t)m);
            break;
        }
        case OPT_LIB:
            strlcpy(bus->lib.host, optarg, sizeof(bus->lib.host));
            make_url(bus->lib.url, bus->lib.host);
            break;
        case OPT_IO_PREVIEW:
            strlcpy(bus->preview.host, optarg, sizeof(bus->preview.host));
            make_url(bus->preview.url, bus->preview.host);
            break;
        case OPT_ADD_BUS:
            if (app->bus.count >= INSTANCE_MAX_BUSES) {
                fprintf(stderr, "ERROR! Too many busses\n");
                return 1;
            }
            bus = &app->bus.list[app->bus.count++];
            strlcpy(bus->title, optarg, sizeof(bus->title));
            bus->app = app;
            break;
        case OPT_HOST:
            strlcpy(bus->host, optarg, sizeof(bus->host));
            make_url(bus->url, bus->host);
            break;
        case OPT_IDX:
            bus->idx = int_arg(optarg);
            break;
        case OPT_HELPER_TYPE_COLOR: {
            if (strlen(optarg) != 17) {
                fprintf(stderr, "ERROR! wrong format for --helper-type-color [%s]. please specify "
                                "--helper-type-color=\"H:#FF00FF:#0000FF\"\n", optarg);
                return 1;
            }
            unsigned char t = (unsigned char)optarg[0];
            snprintf(app->helper_type_color[t][0], sizeof(app->helper_type_color[t][0]), "%.7s", optarg + 2);
            snprintf(app->helper_type_color[t][1], sizeof(app->helper_type_color[t][1]), "%.7s", optarg + 10);
            break;
        }
        case OPT_HELPER_TYPE_PATH:
            if (strlen(optarg) <= 3) {
                fprintf(stderr, "ERROR! wrong format for --helper-type-path. please specify "
                                "--helper-type-path=\"H@/<path>[#<assets>]\"\n");
                return 1;
            }
            add_helper_type_path(bus, optarg);
            break;
        case OPT_SHORT_TIMERS:
            app->f_short_timers = 1;
            break;
        case OPT_SPECIAL_ITEM:
            strlcpy(bus->special_item, optarg, sizeof(bus->special_item));
            break;
        case OPT_LONG_START:
            app->f_long_start = 1;
            break;
        case OPT_ICON:
            strlcpy(bus->title_icon, optarg, sizeof(bus->title_icon));
            break;
        case OPT_HIDE_CONSOLE:
            app->f_hide_console = 1;
            break;
        case OPT_AUDIO_MAP_HELPER:
            /* Loaded by the IO settings dialog's channel map presets; only the
             * first option counts. */
            if (!audio_map_helper[0])
                strlcpy(audio_map_helper, optarg, sizeof(audio_map_helper));
            break;
        case OPT_HIDE_MEDIA_PATH:
            app->f_hide_media_path = 1;
            break;
        case OPT_BUSSES_TAB_POS_TOP:
            app->f_busses_tab_pos_top = 1;
            break;
        case OPT_DELETE_EVENT_CONFIRM:
            app->f_delete_event_confirm = 1;
            break;
        case OPT_BUS_START_STOP_CONFIRM:
            app->f_bus_start_stop_confirm = 1;
            break;
        case OPT_LIB_NO_THUMBS:
            bus->lib.f_no_thumbs = 1;
            break;
        case OPT_AB_RECONCILIATION_KEY:
            app->f_ab_reconciliation_key = 1;
            break;
        case OPT_LONG_START_OFFSET:
            bus->long_start_offset = int_arg(optarg);
            break;
        case OPT_PRV_IO:
            strlcpy(bus->prv.host, optarg, sizeof(bus->prv.host));
            break;
        case OPT_WINDOW_TITLE:
            strlcpy(app->window_title, optarg, sizeof(app->window_title));
            break;
        case OPT_AB_SUBCLIP_IS_ERROR:
            app->f_ab_subclip_is_error = 1;
            break;
        case OPT_TZ:
            strlcpy(bus->tz.value, (std::string("TZ=") + optarg).c_str(), sizeof(bus->tz.value));
            break;
        case OPT_FILTER_PLAYLIST_KEYWORD:
            strlcpy(bus->filter_playlist.keyword, optarg, sizeof(bus->filter_playlist.keyword));
            break;
        case OPT_FILTER_PLAYLIST_DATE_TODAY:
            bus->filter_playlist.f_date |= 1;
            break;
        case OPT_FILTER_PLAYLIST_DATE_TOMORROW:
            bus->filter_playlist.f_date |= 4;
            break;
        case OPT_FILTER_PLAYLIST_DATE_YESTERDAY:
            bus->filter_playlist.f_date |= 2;
            break;
        case OPT_COLOR_ITEM_BG_SUBCLIP:
            strlcpy(app->color_item_bg_subclip, optarg, sizeof(app->color_item_bg_subclip));
            break;
        case OPT_COLOR_ITEM_FG_SUBCLIP:
            strlcpy(app->color_item_fg_subclip, optarg, sizeof(app->color_item_fg_subclip));
            break;
        case OPT_COLOR_ITEM_BG_ERROR_RANGE:
            strlcpy(app->color_item_bg_error_range, optarg, sizeof(app->color_item_bg_error_range));
            break;
        case OPT_COLOR_ITEM_FG_ERROR_RANGE:
            strlcpy(app->color_item_fg_error_range, optarg, sizeof(app->color_item_fg_error_range));
            break;
        case OPT_ASSETS_DETAILS_HEIGHT:
            bus->event_details.height = int_arg(optarg);
            break;
        case OPT_SHOW_TYPE_C_REMAIN:
            bus->f_type_C_remain = 1;
            break;
        case OPT_SHOW_TYPE_L_REMAIN:
            bus->f_type_L_remain = 1;
            break;
        case OPT_SGT_EVENT_ID:
            app->f_sgt_event_id = 1;
            break;
        case OPT_AUXMEDIA_COLUMNS:
            bus->f_auxmedia_columns = int_arg(optarg);
            break;
        case OPT_MEDIA_COMPLETITION:
            strlcpy(bus->media_completition, optarg, sizeof(bus->media_completition));
            break;
        case OPT_IMMEDIATE_ACTIONS_CONFIRM:
            app->f_immediate_actions_confirm = 1;
            break;
        case OPT_FILTER_PLAYLIST_SGT_SUFFIXES:
            strlcpy(bus->filter_playlist.sgt, optarg, sizeof(bus->filter_playlist.sgt));
            break;
        case OPT_SINGLE_INSTANCE:
            app->f_single_instance = 1;
            break;
        case OPT_XKEYS_ROW:
            bus->xkeys_row = int_arg(optarg);
            break;
        case OPT_XKEYS_COL:
            bus->xkeys_col = int_arg(optarg);
            break;
        case OPT_ADONIS_BRANDING_KEY:
            app->f_adonis_branding_key = 1;
            break;
        case OPT_COLOR_LABEL_PLAYLIST_CURR:
            strlcpy(app->color_label_playlist_curr, optarg, sizeof(app->color_label_playlist_curr));
            break;
        case OPT_COLOR_LABEL_PLAYLIST_PREV:
            strlcpy(app->color_label_playlist_prev, optarg, sizeof(app->color_label_playlist_prev));
            break;
        default:
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
        fprintf(stderr, "%s: too many options files, [%s] not read\n", "opts_from_file", filename);
        return 1;
    }

    FILE *f = fopen(filename, "r");
    if (!f) {
        fprintf(stderr, "%s: failed to open [%s]\n", "opts_from_file", filename);
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
        fprintf(stderr, "%s: options files nested too deeply at [%s]\n", "opts_from_file", filename);
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
    fprintf(stderr,
            "Usage:\n"
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
