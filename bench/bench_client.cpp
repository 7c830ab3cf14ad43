// Protocol client figures: calls per second of GetState and of GetEvents2
// (32 events) through the client pool against a loopback server, next to a
// bare xmlrpc-c loop of the same calls, and the event codec's throughput
// next to zlib alone. Prints figures; never fails on time.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <xmlrpc-c/client.h>

#include "event_builder.h"
#include "pelmora.h"
#include "pelmora_version.h"
#include "pelmorabox.h"
#include "test_xmlrpc_server.h"

using clock_type = std::chrono::steady_clock;

static double seconds_per_run()
{
    const char *s = getenv("BENCH_SECONDS");
    return s ? atof(s) : 2.0;
}

// Runs f repeatedly for the configured time; returns runs per second.
static double rate(const std::function<void()> &f)
{
    double limit = seconds_per_run();
    for (int i = 0; i < 20; i++) // warm-up: connections, caches
        f();
    long n = 0;
    auto t0 = clock_type::now();
    double el = 0;
    do {
        for (int i = 0; i < 16; i++)
            f();
        n += 16;
        el = std::chrono::duration<double>(clock_type::now() - t0).count();
    } while (el < limit);
    return n / el;
}

static pelmorabox_event_t *sample_event(int i)
{
    char start[32], media[260], title[260];
    snprintf(start, sizeof(start), "10:%02d:00:00", i % 60);
    snprintf(media, sizeof(media), "/library/commercials/2026/spot_%04d.mxf", i);
    snprintf(title, sizeof(title), "Commercial spot number %d, autumn campaign", i);
    return event_build({start, i % 3 ? ' ' : 'F', "00:00:00:00", "00:00:29:24", "00:00:30:00", 'C', media, title,
                        "logo_bug|lower_third", "", "ads", "1:1,2:2", "0", "16:9"},
                       {{"client", "Example Foods Ltd"},
                        {"campaign@ads#1", "Autumn\tspecial"},
                        {"notes", "line one\nline two \\ with backslash"},
                        {"id", "A-0001-2026"}});
}

static std::string cpu_model()
{
    std::ifstream f("/proc/cpuinfo");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("model name", 0) == 0)
            return line.substr(line.find(':') + 2);
    return "unknown";
}

int main()
{
    printf("machine: nproc %ld, CPU %s\n", sysconf(_SC_NPROCESSORS_ONLN), cpu_model().c_str());
    printf("seconds per figure: %.1f\n\n", seconds_per_run());

    // Loopback server: GetState answers a state, GetEvents2 32 compressed
    // event items with their per-event states.
    pelmorabox_bus_state_t st;
    memset(&st, 0, sizeof(st));
    st.f_running = 1;
    st.amend = 1234;
    st.count = 500;
    strcpy(st.time, "12:00:00:00");
    strcpy(st.curr_remain, "00:00:10:00");
    strcpy(st.ply_remain, "04:00:00:00");
    strcpy(st.last_playlist, "day.ply");
    std::vector<std::vector<unsigned char>> packed;
    for (int i = 0; i < 32; i++) {
        pelmorabox_event_t *e = sample_event(i);
        char line[PELMORABOX_EVENT_LINE_BUF];
        pelmorabox_event_format_string(e, line, sizeof(line));
        std::vector<unsigned char> z(PELMORABOX_EVENT_LINE_BUF);
        z.resize((size_t)pelmorabox_event_line_deflate(line, z.data(), (int)z.size()));
        packed.push_back(z);
        pelmorabox_event_destroy(&e);
    }
    test_xmlrpc_server srv([&](xmlrpc_env *env, const std::string &m, xmlrpc_value *) -> xmlrpc_value * {
        xmlrpc_value *state = pelmorabox_state2xmlrpc(env, &st);
        xmlrpc_value *v;
        if (m == "PelmoraBox.GetEvents2") {
            xmlrpc_value *events = xmlrpc_array_new(env);
            for (int i = 0; i < 32; i++) {
                pelmorabox_bus_state_t es = st;
                es.er[0] = 4;
                es.er[1] = 1000 + i;
                es.er[4] = i;
                xmlrpc_value *est = pelmorabox_state2xmlrpc(env, &es);
                xmlrpc_value *item =
                    xmlrpc_build_value(env, "{s:6,s:S}", "event_c", packed[i].data(), packed[i].size(), "state", est);
                xmlrpc_array_append_item(env, events, item);
                xmlrpc_DECREF(item);
                xmlrpc_DECREF(est);
            }
            v = xmlrpc_build_value(env, "{s:i,s:A,s:S}", "result", 0, "events", events, "state", state);
            xmlrpc_DECREF(events);
        } else
            v = xmlrpc_build_value(env, "{s:i,s:S}", "result", 0, "state", state);
        xmlrpc_DECREF(state);
        return v;
    });
    std::string url = srv.url();

    pelmora_init(PELMORA_APP_NAME, PELMORA_VERSION);
    int64_t idxs[32];
    pelmorabox_event_t *pe[32];
    long failures = 0;
    double r_state = rate([&] {
        pelmorabox_bus_state_t s;
        failures += pelmorabox_get_state(url.c_str(), 0, &s) != 0;
    });
    double r_events = rate([&] {
        pelmorabox_bus_state_t s;
        for (int i = 0; i < 32; i++)
            idxs[i] = i;
        int n = pelmorabox_get_events2(url.c_str(), 0, 32, idxs, pe, &s);
        failures += n != 32;
        for (int i = 0; i < n; i++)
            pelmorabox_event_destroy(&pe[i]);
    });
    pelmora_release();

    // The same calls on a bare xmlrpc-c client with its own curl transport,
    // without decoding the answers.
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_client_setup_global_const(&env);
    xmlrpc_client *bare = nullptr;
    struct xmlrpc_clientparms cp;
    memset(&cp, 0, sizeof(cp));
    cp.transport = "curl";
    xmlrpc_client_create(&env, XMLRPC_CLIENT_NO_FLAGS, "bench", "1", &cp, XMLRPC_CPSIZE(transport), &bare);
    xmlrpc_server_info *info = xmlrpc_server_info_new(&env, url.c_str());
    xmlrpc_value *p_state = xmlrpc_build_value(&env, "(i)", 0);
    xmlrpc_value *arr = xmlrpc_array_new(&env);
    for (int i = 0; i < 32; i++) {
        xmlrpc_value *it = xmlrpc_build_value(&env, "(I)", (xmlrpc_int64)i);
        xmlrpc_array_append_item(&env, arr, it);
        xmlrpc_DECREF(it);
    }
    xmlrpc_value *p_events = xmlrpc_build_value(&env, "(iA)", 0, arr);
    xmlrpc_DECREF(arr);
    auto bare_call = [&](const char *method, xmlrpc_value *params) {
        xmlrpc_env e;
        xmlrpc_env_init(&e);
        xmlrpc_value *r = nullptr;
        xmlrpc_client_call2(&e, bare, info, method, params, &r);
        if (e.fault_occurred)
            failures++;
        else
            xmlrpc_DECREF(r);
        xmlrpc_env_clean(&e);
    };
    double b_state = rate([&] { bare_call("PelmoraBox.GetState", p_state); });
    double b_events = rate([&] { bare_call("PelmoraBox.GetEvents2", p_events); });
    xmlrpc_DECREF(p_state);
    xmlrpc_DECREF(p_events);
    xmlrpc_server_info_free(info);
    xmlrpc_client_destroy(bare);
    xmlrpc_client_teardown_global_const();
    xmlrpc_env_clean(&env);

    printf("%-44s %12s %12s\n", "calls per second (one caller, loopback)", "client", "bare xmlrpc-c");
    printf("%-44s %12.0f %12.0f\n", "PelmoraBox.GetState", r_state, b_state);
    printf("%-44s %12.0f %12.0f\n", "PelmoraBox.GetEvents2, 32 events", r_events, b_events);
    printf("failed calls: %ld\n\n", failures);

    // Codec: one event composed, compressed, inflated and parsed, next to
    // zlib compressing and inflating the same line.
    pelmorabox_event_t *e = sample_event(7);
    char line[PELMORABOX_EVENT_LINE_BUF];
    pelmorabox_event_format_string(e, line, sizeof(line));
    size_t line_len = strlen(line) + 1;
    unsigned char z[PELMORABOX_EVENT_LINE_BUF];
    char out[PELMORABOX_EVENT_LINE_BUF];
    double c_full = rate([&] {
        char l[PELMORABOX_EVENT_LINE_BUF];
        pelmorabox_event_format_string(e, l, sizeof(l));
        int zl = pelmorabox_event_line_deflate(l, z, sizeof(z));
        pelmorabox_event_line_inflate(z, (size_t)zl, out, sizeof(out));
        pelmorabox_event_t *b = pelmorabox_event_create_from_string(out, nullptr, 0);
        pelmorabox_event_destroy(&b);
    });
    int zl = pelmorabox_event_line_deflate(line, z, sizeof(z));
    double c_decode = rate([&] {
        pelmorabox_event_line_inflate(z, (size_t)zl, out, sizeof(out));
        pelmorabox_event_t *b = pelmorabox_event_create_from_string(out, nullptr, 0);
        pelmorabox_event_destroy(&b);
    });
    double z_full = rate([&] {
        uLongf n = sizeof(z);
        compress2(z, &n, (const Bytef *)line, line_len, 9);
        uLongf m = sizeof(out);
        uncompress((Bytef *)out, &m, z, n);
    });
    double z_inflate = rate([&] {
        uLongf m = sizeof(out);
        uncompress((Bytef *)out, &m, z, (uLong)zl);
    });
    pelmorabox_event_destroy(&e);
    printf("event line: %zu bytes with its zero, %d compressed\n", line_len, zl);
    printf("%-44s %12s %12s\n", "events per second", "codec", "zlib alone");
    printf("%-44s %12.0f %12.0f\n", "compose+deflate+inflate+parse / zlib both", c_full, z_full);
    printf("%-44s %12.0f %12.0f\n", "inflate+parse / zlib inflate", c_decode, z_inflate);
    return 0;
}
