// The HID layer under the keypad: report sizes from hostile descriptors,
// reports of numbered and unnumbered devices in the callbacks' layout,
// duplicate suppression, and what a disconnect looks like to the callbacks.
#include <string.h>

#include <mutex>
#include <string>
#include <vector>

#include "xkeys_support.h"

namespace {

std::mutex seen_lock;
std::vector<std::pair<hid_script_bytes_t, int>> seen; /* report, error */
std::vector<int> errors;

int on_data(const unsigned char *data, int len, int, int error)
{
    std::lock_guard<std::mutex> g(seen_lock);
    seen.emplace_back(hid_script_bytes_t(data, data + len), error);
    return 1;
}

int on_error(int, int status)
{
    std::lock_guard<std::mutex> g(seen_lock);
    errors.push_back(status);
    return 0;
}

class HidLayer : public testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_EQ(hid_layer_use(&hid_layer_script_backend), 0);
        hid_script_reset();
        std::lock_guard<std::mutex> g(seen_lock);
        seen.clear();
        errors.clear();
    }
    void TearDown() override
    {
        hid_layer_exit();
        hid_script_reset();
    }
};

} // namespace

TEST(HidDescriptor, SizesAndRefusals)
{
    hid_layer_sizes_t s;
    hid_script_bytes_t d = pad_descriptor();
    ASSERT_EQ(hid_layer_parse_descriptor(d.data(), d.size(), &s), 0);
    EXPECT_EQ(s.input, 32);
    EXPECT_EQ(s.output, 35);
    EXPECT_EQ(s.numbered, 0);

    /* Cut inside an item's data, in a long item, Pop without Push, report id 0. */
    EXPECT_EQ(hid_layer_parse_descriptor(d.data(), 2 * 5 + 1 + 3, &s), -22);
    const unsigned char long_cut[] = {0xFE, 0x10, 0x00, 0x01};
    EXPECT_EQ(hid_layer_parse_descriptor(long_cut, sizeof(long_cut), &s), -22);
    const unsigned char pop[] = {0xB4};
    EXPECT_EQ(hid_layer_parse_descriptor(pop, sizeof(pop), &s), -22);
    const unsigned char id0[] = {0x85, 0x00};
    EXPECT_EQ(hid_layer_parse_descriptor(id0, sizeof(id0), &s), -22);
    std::vector<unsigned char> deep(9, 0xA4);
    EXPECT_EQ(hid_layer_parse_descriptor(deep.data(), deep.size(), &s), -22);

    /* Sizes and counts at their 32-bit limits, many times over: bounded. */
    std::vector<unsigned char> huge;
    for (int i = 0; i < 50; i++)
        huge.insert(huge.end(), {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02});
    ASSERT_EQ(hid_layer_parse_descriptor(huge.data(), huge.size(), &s), 0);
    EXPECT_EQ(s.input, HID_LAYER_MAX_REPORT - 1);
}

TEST_F(HidLayer, ReportLayoutDuplicatesAndDisconnect)
{
    /* Numbered reports: id 3, 8 bytes in, 4 bytes out. */
    const hid_script_bytes_t numbered = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x03, 0x75,
                                         0x08, 0x95, 0x08, 0x81, 0x02, 0x95, 0x04, 0x91, 0x02, 0xC0};
    hid_script_plug("/dev/hidraw-a", 0x10, 0xFF00, 0x01, numbered);
    hid_script_plug("/dev/hidraw-b", 0x20, 0x0C, 0x01, pad_descriptor());

    hid_enum_info_t info[4];
    ASSERT_EQ(hid_layer_enumerate(0x05F3, info, 4), 2);
    /* The data interface comes first, whatever the order of the nodes. */
    EXPECT_STREQ(info[0].DevicePath, "/dev/hidraw-b");
    EXPECT_EQ(info[0].readSize, 33);
    EXPECT_EQ(info[0].writeSize, 36);
    EXPECT_EQ(info[1].readSize, 9);
    EXPECT_EQ(info[1].writeSize, 5);

    ASSERT_EQ(hid_layer_setup(info[0].Handle), 0);
    ASSERT_EQ(hid_layer_setup(info[1].Handle), 0);
    EXPECT_EQ(hid_layer_setup(info[1].Handle), -16);
    for (long h : {info[0].Handle, info[1].Handle}) {
        ASSERT_EQ(hid_layer_set_data_callback(h, on_data), 0);
        ASSERT_EQ(hid_layer_set_error_callback(h, on_error), 0);
    }
    ASSERT_EQ(hid_layer_suppress_duplicates(info[0].Handle, 1), 0);

    ASSERT_EQ(hid_layer_disable_data(info[0].Handle, 0), 0);
    ASSERT_EQ(hid_layer_disable_data(info[1].Handle, 0), 0);
    /* Read while disabled: dropped. */
    ASSERT_EQ(hid_layer_disable_data(info[0].Handle, 1), 0);
    pad_send("/dev/hidraw-b", pad_keys(9, 9, 9, 9));
    ASSERT_EQ(hid_layer_disable_data(info[0].Handle, 0), 0);

    pad_send("/dev/hidraw-b", pad_keys(1, 2, 3, 4));
    pad_send("/dev/hidraw-b", pad_keys(1, 2, 3, 4));
    pad_send("/dev/hidraw-b", pad_keys(0, 2, 3, 4));
    /* A short report is padded to the report size; the id byte stays. */
    pad_send("/dev/hidraw-a", {0x03, 0xAA, 0xBB});
    {
        std::lock_guard<std::mutex> g(seen_lock);
        ASSERT_EQ(seen.size(), 3u);
        hid_script_bytes_t want(33, 0);
        memcpy(&want[3], "\x01\x02\x03\x04", 4);
        EXPECT_EQ(seen[0].first, want);
        want[3] = 0;
        EXPECT_EQ(seen[1].first, want);
        EXPECT_EQ(seen[2].first, (hid_script_bytes_t{0x03, 0xAA, 0xBB, 0, 0, 0, 0, 0, 0}));
    }

    const unsigned char out[5] = {0x03, 1, 2, 3, 4};
    EXPECT_EQ(hid_layer_write(info[1].Handle, out, 4), -22);
    EXPECT_EQ(hid_layer_write(info[1].Handle, out, 5), 0);
    EXPECT_EQ(hid_script_writes("/dev/hidraw-a"), (std::vector<hid_script_bytes_t>{{0x03, 1, 2, 3, 4}}));

    /* Gone: one zeroed report of the report size with the disconnect code,
     * the error callback, and writes refused from then on. */
    hid_script_unplug("/dev/hidraw-b");
    for (int i = 0; i < 200; i++) {
        {
            std::lock_guard<std::mutex> g(seen_lock);
            if (!errors.empty())
                break;
        }
        usleep(10000);
    }
    {
        std::lock_guard<std::mutex> g(seen_lock);
        ASSERT_EQ(seen.size(), 4u);
        EXPECT_EQ(seen[3], std::make_pair(hid_script_bytes_t(33, 0), HID_LAYER_ERR_DISCONNECTED));
        EXPECT_EQ(errors, std::vector<int>{HID_LAYER_ERR_DISCONNECTED});
    }
    unsigned char light_on[36] = {0, 181, 0, 1};
    EXPECT_EQ(hid_layer_write(info[0].Handle, light_on, 36), -19);
    EXPECT_EQ(hid_layer_cleanup(info[0].Handle), 0);
    EXPECT_EQ(hid_layer_cleanup(info[0].Handle), -2);
    EXPECT_EQ(hid_layer_use(&hid_layer_hidraw_backend), -16);
}
