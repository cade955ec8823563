// A simulated device made to fail as a whole, and the log of the frames a
// simulator exchanged: its bounds and its numbering.
#include <gtest/gtest.h>

#include <memory>

#include "base/errors.h"
#include "scripted_channel.h"
#include "simulator/sim_station.h"

namespace {

const std::string kRead1 = "%01#RDD000000000055\r";
const std::string kNext = "%01**&\r";

std::vector<std::int64_t> seqs(const mew::FrameLog &log, std::int64_t after = 0) {
    std::vector<std::int64_t> out;
    for (const auto &e : log.after(after)) out.push_back(e.seq);
    return out;
}

}  // namespace

TEST(SimDeviceFailing, ErrorCodeAnswersEveryCommandAndDropsTheTransfer) {
    mew::SimDevice device(1);
    device.set_frame_limit(118);
    device.set_error_code(61);
    EXPECT_EQ(device.answer(kRead1), "%01!6102\r");
    device.set_error_code(0);
    EXPECT_EQ(device.answer("%01#RDD00000000295E\r").substr(116), "&\r");  // the first of two frames
    device.set_error_code(7);
    device.set_error_code(0);
    EXPECT_EQ(device.answer(kNext), "%01!4302\r");  // the second went with the code
    device.set_error_code(7);
    EXPECT_EQ(device.answer("<01#RDD00000000004C\r"), "<01!071B\r");
    device.set_silent(true);  // wins
    EXPECT_EQ(device.answer(kRead1), "");
    device.set_silent(false);
    mew::SimDevice::Transfer transfer{"%011B001C001D0050\r"};  // a client's, dropped at its next frame
    EXPECT_EQ(device.answer(kNext, transfer), "%01!0702\r");
    EXPECT_TRUE(transfer.empty());
    EXPECT_THROW(device.set_error_code(100), mew::ValueError);
    EXPECT_EQ(device.error_code(), 7);
}

TEST(FrameLog, KeepsTheLastFramesNumberedOnce) {
    mew::FrameLog log;
    log.record(1, "off", "");  // neither kept nor numbered
    EXPECT_THROW(log.set_capacity(mew::FrameLog::kMaxCapacity + 1), mew::ValueError);
    log.set_capacity(3);
    for (int i = 1; i <= 5; ++i) log.record(i, "%01#RT**\r", i % 2 ? "" : "%01$RT\r");
    EXPECT_EQ(seqs(log), (std::vector<std::int64_t>{3, 4, 5}));
    const mew::FrameLog::Entry fourth = log.after(3).front();
    EXPECT_EQ(std::to_string(fourth.station) + fourth.command + "|" + fourth.answer, "4%01#RT**|%01$RT");
    // Shrunk where the ring has wrapped, then wrapped again.
    log.record(6, "c", "a");
    log.set_capacity(2);
    EXPECT_EQ(seqs(log), (std::vector<std::int64_t>{5, 6}));
    log.set_capacity(4);
    for (int i = 0; i < 3; ++i) log.record(7, "c", "a");
    EXPECT_EQ(seqs(log, 6), (std::vector<std::int64_t>{7, 8, 9}));
    log.set_capacity(0);
    log.set_capacity(1);
    log.record(1, "c", "a");
    EXPECT_EQ(seqs(log), std::vector<std::int64_t>{10});
}

TEST(FrameLog, SimulatorLogsWhatItsDevicesAnswerToClients) {
    mew::SimStation sim(std::make_shared<mew::testing::ScriptedChannel>());
    auto device = std::make_shared<mew::SimDevice>(1);
    sim.add_device(device);
    sim.frame_log().set_capacity(10);
    mew::SimDevice::Transfer transfer;
    device->set_silent(true);
    EXPECT_EQ(sim.respond(kRead1, transfer), "");
    EXPECT_EQ(sim.respond("%05#RDD000000000051\r", transfer), "");  // no device there
    std::vector<mew::FrameLog::Entry> kept = sim.frame_log().after(0);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].command + "|" + kept[0].answer, "%01#RDD000000000055|");
}
