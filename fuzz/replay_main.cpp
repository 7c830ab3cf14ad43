// Driver for fuzz targets in builds without libFuzzer: replays every file of
// the corpus folder given as argument, then feeds deterministic mutations of
// those files (bit flips, cut, splice, random bytes) so that the ordinary test
// run exercises the parsers beyond the seeds. A crash or sanitizer report
// fails the test; reaching the end prints a summary and exits 0.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static std::vector<std::string> load_corpus(const char *dir)
{
    std::vector<std::string> out;
    DIR *d = opendir(dir);
    if (!d)
        return out;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string path = std::string(dir) + "/" + e->d_name;
        FILE *f = fopen(path.c_str(), "rb");
        if (!f)
            continue;
        std::string buf;
        char tmp[4096];
        size_t n;
        while ((n = fread(tmp, 1, sizeof(tmp), f)) > 0)
            buf.append(tmp, n);
        fclose(f);
        out.push_back(buf);
    }
    closedir(d);
    return out;
}

int main(int argc, char **argv)
{
    std::vector<std::string> corpus;
    if (argc > 1)
        corpus = load_corpus(argv[1]);
    if (corpus.empty())
        corpus.push_back("");
    long rounds = 20000;
    if (const char *r = getenv("PELMORA_FUZZ_ROUNDS"))
        rounds = strtol(r, nullptr, 10);

    for (const auto &c : corpus)
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(c.data()), c.size());

    std::mt19937 rng(12345);
    for (long i = 0; i < rounds; i++) {
        std::string s = corpus[rng() % corpus.size()];
        int edits = 1 + rng() % 8;
        for (int k = 0; k < edits; k++) {
            switch (rng() % 5) {
            case 0:
                if (!s.empty())
                    s[rng() % s.size()] ^= (char)(1u << (rng() % 8));
                break;
            case 1:
                if (!s.empty())
                    s.resize(rng() % s.size());
                break;
            case 2:
                s.insert(s.begin() + (s.empty() ? 0 : rng() % s.size()), (char)(rng() & 0xff));
                break;
            case 3: {
                const std::string &o = corpus[rng() % corpus.size()];
                if (!o.empty())
                    s += o.substr(rng() % o.size());
            } break;
            case 4:
                if (!s.empty())
                    s[rng() % s.size()] = "\t\n\\:#@=-\r "[rng() % 10];
                break;
            }
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(s.data()), s.size());
    }
    printf("replayed %zu corpus inputs and %ld mutations\n", corpus.size(), rounds);
    return 0;
}
