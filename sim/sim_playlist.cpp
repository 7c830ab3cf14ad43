/* Simulator playlists: reading, writing and listing ".ply" files. */
#include "sim_playlist.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

int sim_playlist_name(const char *name, std::string *file)
{
    if (!name || !*name || name[0] == '.' || strlen(name) > 250)
        return -22;
    if (strchr(name, '/') || strchr(name, '\\') || strstr(name, ".."))
        return -22;
    for (const char *p = name; *p; p++)
        if ((unsigned char)*p < 0x20 || *p == 0x7f)
            return -22;
    std::string f = name;
    if (f.size() < 4 || f.compare(f.size() - 4, 4, ".ply") != 0)
        f += ".ply";
    *file = f;
    return 0;
}

int sim_playlist_parse(const char *where, const std::string &text, std::vector<pelmorabox_event_t *> *out)
{
    int cnt = 0, line_no = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        line_no++;
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        pelmorabox_event_t *e = nullptr;
        if (line.size() <= SIM_PLAYLIST_LINE_MAX && line.find('\0') == std::string::npos)
            e = pelmorabox_event_create_from_string(&line[0], nullptr, 0);
        if (!e) {
            fprintf(stderr, "sim: %s:%d: broken event line skipped\n", where, line_no);
            continue;
        }
        out->push_back(e);
        cnt++;
    }
    return cnt;
}

int sim_playlist_read(const char *dir, const char *name, std::vector<pelmorabox_event_t *> *out)
{
    std::string file;
    if (sim_playlist_name(name, &file) < 0)
        return -22;
    std::string path = std::string(dir) + "/" + file;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return -2;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return -errno;
    std::string text;
    char buf[65536];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, got);
    fclose(f);
    return sim_playlist_parse(path.c_str(), text, out);
}

int sim_playlist_write(const char *dir, const char *name, const std::vector<const pelmorabox_event_t *> &events)
{
    std::string file;
    if (sim_playlist_name(name, &file) < 0)
        return -22;
    std::string path = std::string(dir) + "/" + file;
    /* Each save its own temporary file: two buses saving one name at once
     * then each replace the file whole, one after the other. */
    std::string tmp = path + ".tmpXXXXXX";
    int fd = mkstemp(&tmp[0]);
    if (fd < 0)
        return -errno;
    fchmod(fd, 0644); /* as a plain new file; mkstemp makes it private */
    FILE *f = fdopen(fd, "wb");
    if (!f) {
        int err = errno;
        close(fd);
        unlink(tmp.c_str());
        return -err;
    }
    std::vector<char> line(SIM_PLAYLIST_LINE_MAX + 1);
    int cnt = 0;
    for (const pelmorabox_event_t *e : events) {
        pelmorabox_event_format_string(const_cast<pelmorabox_event_t *>(e), line.data(), (int)line.size());
        fputs(line.data(), f);
        fputc('\n', f);
        cnt++;
    }
    int err = ferror(f) ? EIO : 0;
    if (fclose(f) != 0 && !err)
        err = errno;
    if (!err && rename(tmp.c_str(), path.c_str()) != 0)
        err = errno;
    if (err) {
        unlink(tmp.c_str());
        return -err;
    }
    return cnt;
}

int sim_playlist_list(const char *dir, std::vector<std::string> *names)
{
    DIR *d = opendir(dir);
    if (!d)
        return -2;
    while (struct dirent *de = readdir(d)) {
        std::string n = de->d_name;
        std::string file;
        if (n.size() > 4 && n.compare(n.size() - 4, 4, ".ply") == 0 && sim_playlist_name(n.c_str(), &file) == 0)
            names->push_back(n);
    }
    closedir(d);
    std::sort(names->begin(), names->end());
    return (int)names->size();
}
