/* The simulator's records of one medium and its subclips, shared by the
 * catalogue and the library's view of the media folder. */
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

typedef struct sim_subclip_desc
{
    std::string name;
    int64_t in;  /* frames from the start of the clip */
    int64_t out; /* inclusive */
} sim_subclip_t;

typedef struct sim_media_desc
{
    std::string id;
    std::string title;
    std::string origin;
    int64_t frames; /* length; 0 when unknown (no range check) */
    std::vector<sim_subclip_t> subclips;
} sim_media_t;
