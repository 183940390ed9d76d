// Module 23 reading stream 3 of a simulated board at 127.0.0.2 with two
// chips: the set-up of the tests of the stream module and of its windows.
#ifndef BRISKO_TESTS_FENROW_STREAMONBOARD_H
#define BRISKO_TESTS_FENROW_STREAMONBOARD_H

#include <cstdint>
#include <memory>

#include <gtest/gtest.h>

#include "FenrowNet.h"
#include "fenrow/streams/FenrowStream.h"

namespace fenrow_test {

struct StreamOnBoard {
    // The board manager, the board and the module; a test stops at a
    // failure here.
    void open_stream(int chip_type, std::uint32_t firmware = 0x010203, const FenrowTiming& timing = FenrowTiming())
    {
        Layout layout;
        layout.nchip = 2;
        layout.chip_type = chip_type;
        boards = std::make_unique<TestBoards>(layout);
        ASSERT_TRUE(boards->open(timing));
        sim = start_board(*boards, "127.0.0.2", firmware);
        ASSERT_TRUE(sim);
        node = boards->get_module("127.0.0.2");
        ASSERT_TRUE(node);
        module = std::make_unique<Ostrel::FenrowStream>(Ostrel::DAQid(23), 1, 3, new Ostrel::FenrowModuleData(boards.get(), node));
    }
    // The module goes before the board, and the board before its manager.
    void close_stream()
    {
        module.reset();
        sim.reset();
        boards.reset();
    }

    NetEnv env;
    LogCapture log;
    std::unique_ptr<TestBoards> boards;
    std::unique_ptr<fenrow_sim::BoardSim> sim;
    ModuleNode* node = nullptr;
    std::unique_ptr<Ostrel::FenrowStream> module;
};

} // namespace fenrow_test

#endif
