/* Clips made with ffmpeg for the tests that play or list real media.
 * Header-only so that every area's tests can use it. */
#pragma once
#include <stdio.h>
#include <stdlib.h>

#include <string>

/* A clip whose every pixel says where it is and which frame it belongs to:
 * red across, green down, blue counting frames (8 a frame), 25 fps, 16-bit
 * picture-exact (ffv1, bgr0) with a 1 kHz sine at 48 kHz in 16-bit PCM
 * (both channels of a stereo pair with stereo). True when ffmpeg made it. */
inline bool media_position_clip(const std::string &path, int seconds, bool stereo = false, int width = 320,
                                int height = 180)
{
    std::string d = std::to_string(seconds);
    std::string cmd = "ffmpeg -v error -y -f lavfi -i \"color=c=black:s=" + std::to_string(width) + "x" +
                      std::to_string(height) + ":r=25:d=" + d +
                      ",format=rgb24,geq=r='X*255/W':g='Y*255/H':b='mod(N*8\\,256)'\" "
                      "-f lavfi -i sine=frequency=1000:sample_rate=48000:duration=" +
                      d + (stereo ? " -af 'pan=stereo|c0=c0|c1=c0'" : "") + " -c:a pcm_s16le -pix_fmt bgr0 -c:v ffv1 " +
                      path;
    return system(cmd.c_str()) == 0;
}

/* ffmpeg's test pattern, 160x90 at 25 fps, without sound. */
inline bool media_test_pattern(const std::string &path, int seconds, const std::string &codec = "ffv1")
{
    std::string cmd = "ffmpeg -v error -y -f lavfi -i testsrc=d=" + std::to_string(seconds) + ":s=160x90:r=25 -c:v " +
                      codec + " " + path;
    return system(cmd.c_str()) == 0;
}

/* What a shell command writes on its standard output ("" when it cannot
 * run): ffprobe's answers, mostly. */
inline std::string shell_output(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}
