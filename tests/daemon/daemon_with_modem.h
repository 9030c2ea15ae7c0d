// Fixture: a running daemon and one simulated modem at <tmp>/ttyUSB2.
#pragma once

#include <gtest/gtest.h>

#include "tests/daemon/daemon_env.h"
#include "tools/fakemodem/fake_modem.h"

class DaemonWithModem : public ::testing::Test
{
protected:
    daemon_env env;
    fake_modem_ptr modem;
    std::string port;

    void SetUp() override
    {
        ASSERT_TRUE(env_start(env));
        port = env_path(env, "ttyUSB2");
        modem.reset(fake_modem_create(port));
        ASSERT_TRUE(modem);
    }
};
