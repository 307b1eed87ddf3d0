// A simulator serving in the background and one client on its slave.
#pragma once

#include "sim_client.h"
#include "simulator.h"

#include <gtest/gtest.h>
#include <memory>

namespace simtest {

class SimTest : public ::testing::Test {
  protected:
    void start(syscon_sim::Config config = {}, uint32_t rate = 115200) {
        sim = std::make_unique<syscon_sim::Simulator>(std::move(config));
        sim->start();
        client = std::make_unique<Client>(sim->slave_path(), rate);
    }

    // Selects `device` and agrees on `block`, checking both echoes.
    void select(uint8_t device, uint32_t block = 4096) {
        ASSERT_EQ(client->exchange(dev_frame(device), 12),
                  cat({{0x06}, response("DEV", {device})}));
        ASSERT_EQ(client->exchange(siz_frame(block), 15),
                  cat({{0x06}, response("SIZ", be32(block))}));
    }

    std::unique_ptr<syscon_sim::Simulator> sim;
    std::unique_ptr<Client> client;
};

} // namespace simtest
