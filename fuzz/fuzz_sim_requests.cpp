// Requests reaching pelmora-sim's library, job and IO servers: the first byte
// picks the library server (with its transfer and transcoder services) or
// the IO server, the rest is the request as it arrives. It passes the XML
// guard as on the wire, then the server's own method table answers it over
// a scratch media folder that every library path is confined to.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <xmlrpc-c/base.h>
#include <xmlrpc-c/server.h>

#include "fuzz_scratch.h"
#include "pelmora_guard.h"
#include "sim_io.h"
#include "sim_jobs.h"
#include "sim_library.h"
#include "sim_media.h"
#include "sim_opts.h"
#include "sim_server.h"

namespace {

struct sim_fixture
{
    sim_opts_t opts;
    sim_catalogue_t cat;
    sim_server_t lib_srv, io_srv;
    /* Held here for the life of the process: the simulator's own tables of
     * them go with its static destructors, before the leak check. */
    sim_library_t *lib = nullptr;
    sim_jobs_t *jobs = nullptr;
    sim_io_t *io = nullptr;
    bool ok = false;

    sim_fixture()
    {
        std::string dir = fuzz_scratch_make("/tmp/fuzz_sim_requests_XXXXXX"), media = dir + "/media";
        if (dir.empty())
            return;
        mkdir(media.c_str(), 0755);
        mkdir((media + "/news").c_str(), 0755);
        if (FILE *f = fopen((media + "/news/clip.mov").c_str(), "w")) {
            fputs("not a movie", f);
            fclose(f);
        }
        opts.data_dir = dir;
        opts.media_dir = media;
        sim_media_generate_default(&cat);
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        for (sim_server_t *s : {&lib_srv, &io_srv}) {
            s->opts = &opts;
            s->cat = &cat;
            s->data_dir = dir;
            s->tcp_fd = s->udp_fd = -1;
            s->abyss = nullptr;
            s->f_stop = 0;
            s->f_faults = 0;
            s->registry = xmlrpc_registry_new(&env);
        }
        lib_srv.server_idx = -1;
        io_srv.server_idx = -2;
        std::string err;
        lib = sim_library_create(&lib_srv, media.c_str(), dir.c_str(), &err);
        ok = !env.fault_occurred && lib && (jobs = sim_jobs_create(&lib_srv, lib, dir.c_str(), 0, &err)) &&
             (io = sim_io_create(&io_srv, 0, lib, &err));
        if (!ok)
            fprintf(stderr, "fuzz_sim_requests: %s\n", err.c_str());
        xmlrpc_env_clean(&env);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* Made once and kept: the servers live as long as the process. */
    static sim_fixture *fx = new sim_fixture;
    if (!fx->ok)
        abort();
    if (size < 1)
        return 0;
    const char *xml = reinterpret_cast<const char *>(data) + 1;
    size_t len = size - 1;
    if (pelmora_xml_guard(xml, len, nullptr) < 0)
        return 0;
    sim_server_t *srv = data[0] & 1 ? &fx->io_srv : &fx->lib_srv;
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_mem_block *out = nullptr;
    xmlrpc_registry_process_call2(&env, srv->registry, xml, len, nullptr, &out);
    if (out)
        xmlrpc_mem_block_free(out);
    xmlrpc_env_clean(&env);
    return 0;
}
