// The shipped import plug-ins as the program finds them, beside a fresh
// folder for the files a test writes.
#pragma once

#include "spi/SPIs.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace zumo {

class ShippedPluginsBase : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_spis = std::make_unique<TSPIs>();
        m_spis->SearchSPI(std::string(ZUMO_PLUGIN_DIR) + "/*");
        ASSERT_TRUE(m_dir.ok());
    }
    void TearDown() override { m_spis.reset(); }
    std::string path(const std::string& name) const { return m_dir / name; }

    std::unique_ptr<TSPIs> m_spis;
    testsupport::TempFolder m_dir;
};

} // namespace zumo
