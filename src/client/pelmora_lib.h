/* Client of the media library server (PelmoraLib methods): folders, items
 * with their technical metadata, subclips, thumbnails, searches, the library
 * state with its change journal, and the basename lookup shared with IO. */
#pragma once
#include <stdint.h>

#include <xmlrpc-c/base.h>

typedef struct pelmora_lib_dir_desc
{
    char name[260];
    char full[260];
} pelmora_lib_dir_t;

typedef struct pelmora_lib_item_desc
{
    char name[260];
    char full[260];
    int64_t stat_ino, stat_size, stat_mtime, stat_ctime, stat_atime;
    char format_name[260];
    double duration;   /* duration_v when non-zero, else duration_f */
    double duration_f; /* container */
    double duration_v; /* video stream */
    double duration_a; /* audio */
    int nb_frames, nb_streams, width, height;
    int dar_num, dar_den;
    int sar_num, sar_den;
    int r_frame_rate_num, r_frame_rate_den;
    char sample_fmt[32];
    int sample_rate;
    int channels;
    char timecode[32];
    int subclips;
    void *priv[4]; /* the caller's; the library tree keeps the thumbnail in [0] */
} pelmora_lib_item_t;

typedef struct pelmora_lib_subclip_desc
{
    int idx;
    int mark_in;
    int duration;
    char title[260];
    pelmora_lib_item_t *parent; /* not owned */
} pelmora_lib_subclip_t;

typedef struct pelmora_lib_state_desc
{
    int total_items;
    int64_t used_space, total_space, free_space;
    int64_t amend_idx;
    int amend_list_len;
    char amend_list_data[][260]; /* newest first; kind character, then the path */
} pelmora_lib_state_t;

/* Most journal entries read from one state answer when the caller asks for
 * none in particular; an answer with more is cut there. */
#define PELMORA_LIB_STATE_MAX_ENTRIES 4096
/* Largest thumbnail accepted (bytes); a bigger one is refused with -14. */
#define PELMORA_LIB_THUMB_MAX 4194304

/* The fault code of the last library call of this thread that got no
 * answer to read (-504: the server could not be reached or did not answer in
 * time; any other code: it answered with a fault, or with what could not be
 * parsed), 0 when that call was answered. */
int pelmora_lib_last_fault(void);
/* Whether a fault code means that no answer came at all. */
#define PELMORA_LIB_NO_ANSWER(fault) ((fault) == XMLRPC_NETWORK_ERROR || (fault) == XMLRPC_TIMEOUT_ERROR)

/* Folder list, sorted by name descending ignoring case. *pdirs: exactly the
 * returned count of records (caller frees each and the array). */
int pelmora_lib_list_dirs(const char *url, const char *path, pelmora_lib_dir_t ***pdirs);
/* Item list, sorted by name ascending ignoring case; offset and limit both
 * -1 list the whole folder, otherwise one page of it. */
int pelmora_lib_list_items2(const char *url, const char *path, pelmora_lib_item_t ***pitems, int offset, int limit);
int pelmora_lib_list_items(const char *url, const char *path, pelmora_lib_item_t ***pitems);
/* Subclips of the item at path; null-terminated list, or no list when empty. */
int pelmora_lib_list_subclips(const char *url, const char *path, pelmora_lib_subclip_t ***pitems,
                              pelmora_lib_item_t *parent);
int pelmora_lib_list_subclips_free(pelmora_lib_subclip_t ***pitems);
/* Metadata of one item into *pitem (zeroed first; full = object). */
int pelmora_lib_meta_item(const char *url, const char *object, pelmora_lib_item_t *pitem);
/* Thumbnail bytes (an encoded image file) into a new *pdata the caller frees. */
int pelmora_lib_thumb_item(const char *url, const char *src, const char *scale_type, int scale_width, int scale_height,
                           void **pdata, int *pdata_size);
/* Searches; dst (260 bytes) gets the hit's path, the result its position. */
int pelmora_lib_search_item(const char *url, int start_idx, const char *start_item, const char *keyword, char *dst);
int pelmora_lib_search_item_dur_range(const char *url, int start_idx, const char *start_item, double dur_a,
                                      double dur_b, char *dst);
/* State and journal; *p_state is one allocation the caller frees. Returns
 * the number of journal entries read. */
int pelmora_lib_state(const char *url, int amend_list_limit, pelmora_lib_state_t **p_state);

int pelmora_lib_create_dir(const char *url, const char *name);
int pelmora_lib_rename_item(const char *url, const char *src, const char *dst);
int pelmora_lib_delete_item(const char *url, const char *name);
int pelmora_lib_delete_dir(const char *url, const char *name);
int pelmora_lib_delete_subclip(const char *url, const char *path, int idx);
int pelmora_lib_register_subclip(const char *url, const char *path, int mark_in, int duration, const char *title);
/* Null-terminated string lists; the count is the result. */
int pelmora_lib_list_templates(const char *url, char ***plist);
int pelmora_lib_list_template_vars(const char *url, const char *tmpl, char ***plist);

/* Basename lookup through `method` ("(ss)" with a non-empty ext, else "(s)");
 * each output may be null. */
int pelmora_basename_item(const char *url, const char *method, const char *object, const char *ext, char *filename_abs,
                          char *filename_local, int *cache_shm_id);
int pelmora_lib_basename_item(const char *url, const char *object, const char *ext, char *filename_abs,
                              char *filename_local, int *cache_shm_id);

/* Methods the server offers that the console does not call; each returns
 * the server's "result" (lists: the count, with a null-terminated list). */
int pelmora_lib_list_overlays(const char *url, char ***plist);
int pelmora_lib_thumb_overlay(const char *url, const char *name, void **pdata, int *pdata_size);
int pelmora_lib_disk_usage(const char *url);
int pelmora_lib_register_item(const char *url, const char *path);
int pelmora_lib_basename_overlay(const char *url, const char *name, char *filename_abs, char *filename_local,
                                 int *cache_shm_id);
int pelmora_lib_register_cue(const char *url, const char *path, int frame);
int pelmora_lib_template_get(const char *url, const char *name);
int pelmora_lib_template_set(const char *url, const char *name, const char *const *vars);
int pelmora_lib_template_add(const char *url, const char *name);
int pelmora_lib_template_del(const char *url, const char *name);
int pelmora_lib_template_fonts(const char *url, char ***plist);
int pelmora_lib_template_fonts2(const char *url, char ***plist);
int pelmora_lib_template_rename(const char *url, const char *src, const char *dst);
int pelmora_lib_template_replace(const char *url, const char *src, const char *dst);
int pelmora_lib_template_clone(const char *url, const char *src, const char *dst);
int pelmora_lib_template_build(const char *url, const char *tmpl, const char *dst, int width, int height,
                               xmlrpc_value *vars, xmlrpc_value *opts);

/* The readers of answers, shared by the calls above and the fuzz targets.
 * pelmora_lib_item_read fills *item from one item struct, tolerating
 * missing and mistyped members; returns the number of members that failed. */
int pelmora_lib_item_read(const char *caller, xmlrpc_value *v, pelmora_lib_item_t *item);
/* Decodes a LibState answer (not released); same results as pelmora_lib_state. */
int pelmora_lib_state_read(const char *caller, xmlrpc_value *resultP, int amend_list_limit,
                           pelmora_lib_state_t **p_state);
/* The list readers behind the three list calls, on an answer already
 * received (not released): same results and lists as the calls. */
int pelmora_lib_dirs_read(const char *caller, xmlrpc_value *answer, const char *path, pelmora_lib_dir_t ***pdirs);
int pelmora_lib_items_read(const char *caller, xmlrpc_value *answer, const char *path, pelmora_lib_item_t ***pitems);
int pelmora_lib_subclips_read(const char *caller, xmlrpc_value *answer, pelmora_lib_item_t *parent,
                              pelmora_lib_subclip_t ***pitems);
/* Sets `full` from a folder path and a child's name. */
void pelmora_lib_join(char *full, size_t size, const char *path, const char *name);
