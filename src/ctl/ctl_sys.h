/* pelmora-ctl beyond the automation server: the command groups of the
 * library (lib), its job services (transfer, transcode) and an IO server
 * (io). One table names every command with its server, its arguments and
 * its options; the arguments are checked here before anything is sent, and
 * every answer is read through the client library. */
#pragma once
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "ctl_args.h"
#include "ctl_format.h"

/* Runs the command; the exit status. */
int ctl_sys_run(const ctl_args_t *a, FILE *out, FILE *err);

/* ---- What the command modules share. ---- */

/* One output record: members in order, each with its JSON text and its
 * table cell. */
typedef struct ctl_rec_desc
{
    struct val
    {
        std::string key;
        std::string json;
        std::string cell;
        int f_num;
    };
    std::vector<val> v;
    void i(const char *key, int64_t x);
    void d(const char *key, double x); /* null when not finite */
    void b(const char *key, int x);
    void s(const char *key, const char *text, size_t size); /* a fixed field: up to its zero byte */
    void str(const char *key, const std::string &text);
    void raw(const char *key, const std::string &json, const std::string &cell);
} ctl_rec_t;

typedef struct ctl_sys_ctx_desc
{
    const ctl_args_t *a;
    FILE *out;
    FILE *err;
    const char *url;  /* the server of the command's group */
    const char *host; /* its HOST:PORT, for messages */
    const char *name; /* "lib list", ... */
    ctl_table_t table;
    std::vector<std::string> cols; /* keys of the table's columns */
    int f_table_open = 0;
} ctl_sys_ctx_t;

/* Prints the failure of a call (r < 0) and returns its exit status; what
 * names what was asked for. */
int ctl_sys_fail(ctl_sys_ctx_t *c, int r, const std::string &what = "");
/* Option values as the parser checked them. */
int ctl_sys_has(const ctl_sys_ctx_t *c, const char *opt);
int64_t ctl_sys_int(const ctl_sys_ctx_t *c, const char *opt, int64_t dflt);
double ctl_sys_dbl(const ctl_sys_ctx_t *c, const char *opt, double dflt);
std::string ctl_sys_str(const ctl_sys_ctx_t *c, const char *opt, const char *dflt = "");
const std::string &ctl_sys_pos(const ctl_sys_ctx_t *c, size_t i);

/* Output: the table columns (record keys, headed by their upper-case form)
 * for --table, then records; a JSON line goes out at once, table rows at
 * ctl_sys_flush. A record shown as NAME/VALUE rows (one object) is
 * ctl_sys_emit_one. */
void ctl_sys_columns(ctl_sys_ctx_t *c, const std::vector<std::string> &keys);
void ctl_sys_emit(ctl_sys_ctx_t *c, const ctl_rec_t &r);
void ctl_sys_emit_one(ctl_sys_ctx_t *c, const ctl_rec_t &r);
void ctl_sys_flush(ctl_sys_ctx_t *c);
/* {"command":..,"result":..} plus the members of extra. */
int ctl_sys_result(ctl_sys_ctx_t *c, int r, const ctl_rec_t *extra = nullptr);
/* The text of a library path or name for a message. */
std::string ctl_sys_quote(const std::string &s);

/* The commands, by module. */
int ctl_lib_list(ctl_sys_ctx_t *c);
int ctl_lib_stat(ctl_sys_ctx_t *c);
int ctl_lib_search(ctl_sys_ctx_t *c);
int ctl_lib_search_dur(ctl_sys_ctx_t *c);
int ctl_lib_mkdir(ctl_sys_ctx_t *c);
int ctl_lib_rename(ctl_sys_ctx_t *c);
int ctl_lib_move(ctl_sys_ctx_t *c);
int ctl_lib_delete(ctl_sys_ctx_t *c);
int ctl_lib_rmdir(ctl_sys_ctx_t *c);
int ctl_lib_subclips(ctl_sys_ctx_t *c);
int ctl_lib_subclip_add(ctl_sys_ctx_t *c);
int ctl_lib_subclip_delete(ctl_sys_ctx_t *c);
int ctl_lib_capacity(ctl_sys_ctx_t *c);
int ctl_lib_journal(ctl_sys_ctx_t *c);

int ctl_io_status(ctl_sys_ctx_t *c);
int ctl_io_settings(ctl_sys_ctx_t *c);
int ctl_io_set(ctl_sys_ctx_t *c);
int ctl_io_save(ctl_sys_ctx_t *c);
int ctl_io_modes(ctl_sys_ctx_t *c);
int ctl_io_set_mode(ctl_sys_ctx_t *c);
int ctl_io_transport(ctl_sys_ctx_t *c); /* play, pause, stop */
int ctl_io_seek(ctl_sys_ctx_t *c);
int ctl_io_cue(ctl_sys_ctx_t *c);

int ctl_jobs_targets(ctl_sys_ctx_t *c);
int ctl_jobs_list(ctl_sys_ctx_t *c);
int ctl_jobs_add(ctl_sys_ctx_t *c);
int ctl_jobs_control(ctl_sys_ctx_t *c); /* cancel, restart, delete */
int ctl_jobs_wait(ctl_sys_ctx_t *c);
