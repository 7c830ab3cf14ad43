/* pelmora-ctl output: JSON objects (one per line) for the bus state, events,
 * flagged events and command results, and aligned text tables of the same.
 * Texts from the server are escaped so that any byte sequence is safe. */
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "pelmorabox.h"

/* Length of the well-formed UTF-8 sequence at s (n bytes available), its
 * code point in *cp; 0 for a byte that starts no valid sequence (overlong
 * forms, surrogates and values above U+10FFFF included). */
size_t ctl_utf8_seq(const unsigned char *s, size_t n, uint32_t *cp);

/* A JSON string (with its quotes) of the len bytes at s: quote, backslash
 * and control characters escaped, valid UTF-8 passed through, and every
 * byte that is not valid UTF-8 written as \u00XX (read as Latin-1). */
void ctl_json_string(std::string *out, const char *s, size_t len);
/* The same for a fixed text field: up to its first zero byte or `size`. */
void ctl_json_field(std::string *out, const char *s, size_t size);

/* Names of the set status bits: CUEING, PLAY, PRESENT, CUED, CUE_FAILED,
 * PLAY_FAILED, PLAYING, ABSENT (bit 0x80, or PRESENT clear), RANGE_ERR,
 * SUBCLIP, NON_CONT; other bits as BIT<n>. */
std::vector<std::string> ctl_flag_names(int64_t flags);
/* FOLLOW, MANUAL, FIXED TIME, GAP FILL, or FOLLOW for the kept marks. */
const char *ctl_start_type_name(char st);

/* {"f_running":..,...,"ply_hash":..}: all 18 members in record order. */
void ctl_json_state(std::string *out, const pelmorabox_bus_state_t *s);
/* One event with every field, its list index (omitted when idx < 0), the
 * flag names, metadata as an array of [key, value] pairs and its line. */
void ctl_json_event(std::string *out, const pelmorabox_event_t *e, int64_t idx);
/* One item of a flagged-event list (the fields such a list carries). */
void ctl_json_flagged(std::string *out, const pelmorabox_event_t *e);
/* {"command":..,"result":..,"state":{...}}. */
void ctl_json_result(std::string *out, const char *command, int result, const pelmorabox_bus_state_t *s);

/* ---- Tables. ---- */
/* A text for a table cell: control characters as \t, \n, \r or \xNN,
 * invalid UTF-8 bytes as their Latin-1 characters. */
std::string ctl_cell_text(const char *s, size_t len);
/* Columns the text takes on a terminal (wide East Asian characters count
 * two, combining marks none). */
size_t ctl_text_width(const std::string &s);

typedef struct ctl_table_desc
{
    std::vector<std::string> head;
    std::vector<int> right; /* 1: right-aligned column */
    std::vector<std::vector<std::string>> rows;
} ctl_table_t;

/* Columns separated by two spaces, each as wide as its widest cell; no
 * trailing blanks. */
std::string ctl_table_render(const ctl_table_t *t);
void ctl_table_events_init(ctl_table_t *t);
void ctl_table_events_add(ctl_table_t *t, const pelmorabox_event_t *e, int64_t idx);
void ctl_table_flagged_init(ctl_table_t *t);
void ctl_table_flagged_add(ctl_table_t *t, const pelmorabox_event_t *e);
/* NAME / VALUE rows: the command and result first when command is given. */
void ctl_table_state(ctl_table_t *t, const char *command, int result, const pelmorabox_bus_state_t *s);

/* Exit status for a call result: 0 for r >= 0, 3 for -14, 1 otherwise. */
int ctl_exit_code(int r);
/* "-1 (Operation not permitted)" */
std::string ctl_result_text(int r);
