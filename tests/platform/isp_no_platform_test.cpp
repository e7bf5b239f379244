// libkep_isp without the virtual camera in the process: there are no
// pictures, so the interrupt wait ends with its time-out and no motion.
#include "kep_isp.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

TEST(IspWithoutPlatform, WaitEndsWithNoMotion)
{
    ASSERT_EQ(dlsym(RTLD_DEFAULT, "vcam_isp_wait_frame"), nullptr) << "this test must run without the platform";
    const uint32_t mask[KEP_ISP_MD_WORDS] = {};
    kep_isp_md_threshold_set(0);
    kep_isp_md_int_threshold_set(1);
    kep_isp_md_block_mask_set(mask);
    kep_isp_md_int_timeout_set(50);
    kep_isp_md_enable_set(1);
    for (int i = 0; i < 3; ++i) {
        uint32_t status = 7;
        ASSERT_EQ(kep_isp_md_int_get(&status), 0);
        EXPECT_EQ(status, 0u);
    }
    uint32_t report[KEP_ISP_MD_WORDS] = {1, 1, 1, 1, 1, 1};
    ASSERT_EQ(kep_isp_md_block_report_get(report), 0);
    for (uint32_t w : report)
        EXPECT_EQ(w, 0u) << "no detection, no report";
}
