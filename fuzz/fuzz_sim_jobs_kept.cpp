// The kept jobs file of pelmora-sim (DATA/.jobs): any text is read as the
// simulator reads it at start; never more jobs than lines, nothing that
// crashes or runs away.
#include <stdint.h>
#include <stdlib.h>

#include "sim_jobs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t lines = 1;
    for (size_t i = 0; i < size; i++)
        lines += data[i] == '\n';
    int bad = 0;
    int n = sim_jobs_kept_read((const char *)data, size, &bad);
    if (n < 0 || (size_t)n > lines || bad < 0 || (size_t)bad > lines)
        abort();
    return 0;
}
