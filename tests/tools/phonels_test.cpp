// phonels' listing: the tree it prints, and its fallback when GetObjectPropList fails.

#include <gtest/gtest.h>

#include <sstream>

#include "mtp/MTPCodes.h"
#include "mtp/MTPSession.h"
#include "tests/common/TestSupport.h"
#include "tools/phonels/PhoneLister.h"
#include "tools/phonesim/DemoContent.h"
#include "tools/phonesim/SimulatedPhone.h"

namespace {

using phonesim::Faults;
using phonesim::SimulatedPhone;

constexpr uint32_t Internal = 0x00010001;

std::string listing(SimulatedPhone& phone, phonels::ListOptions options = {}) {
    std::ostringstream out;
    phonels::listPhone(*testsupport::connectPhone(phone), out, options);
    return out.str();
}

TEST(Phonels, PrintsStoragesAndAnAlignedTree) {
    phonesim::PhoneConfig config;
    config.storages = {
        phonesim::StorageConfig{"Internal shared storage", 2'000'000, std::nullopt, false}};
    SimulatedPhone phone(config);
    phone.addFile(Internal, "Download/b.pdf", phonesim::Bytes(183'201), 1706745599);
    phone.addFile(Internal, "Download/a-long-name.txt", phonesim::Bytes(12), 1706745599);
    phone.addFolder(Internal, "Alarms");
    std::istringstream lines(listing(phone, phonels::ListOptions{-1, true, true}));
    std::vector<std::string> got;
    for (std::string line; std::getline(lines, line);) got.push_back(line);
    ASSERT_EQ(got.size(), 5u);
    got[3].resize(got[3].size() - 18);  // the dates, in local time
    got[4].resize(got[4].size() - 18);
    EXPECT_EQ(got,
              (std::vector<std::string>{
                  "Internal shared storage  2.0 MB, 1.8 MB free", "├── Alarms/", "└── Download/",
                  "    ├── a-long-name.txt      12", "    └── b.pdf            183201"}));

    phone.updateFaults([](Faults& f) { f.locked = true; });
    EXPECT_EQ(listing(phone),
              "No storage visible: the phone may be locked; unlock it and try again.\n");
}

TEST(Phonels, FallsBackToObjectInfoWhenPropListFails) {
    SimulatedPhone phone(phonesim::demoPhoneConfig());
    phonesim::addDemoContent(phone);
    std::string expected = listing(phone);
    EXPECT_NE(expected.find("IMG_20240131_235959.jpg  2.4 MB"), std::string::npos);
    EXPECT_GT(phone.stats().count(mtp::Op::GetObjectPropList), 0u);

    phone.resetStats();
    phone.updateFaults([](Faults& f) { f.propListError = mtp::Response::GeneralError; });
    EXPECT_EQ(listing(phone), expected);
    EXPECT_GT(phone.stats().count(mtp::Op::GetObjectInfo), 10u);

    phone.resetStats();
    phone.setFaults({});
    phone.updateFaults([](Faults& f) { f.noPropList = true; });
    EXPECT_EQ(listing(phone), expected);
    EXPECT_EQ(phone.stats().count(mtp::Op::GetObjectPropList), 0u);
}

}  // namespace
