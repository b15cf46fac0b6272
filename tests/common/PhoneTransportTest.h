#pragma once
// Tests of the MTP session written once, TEST_P(PhoneTransportTest, ...), and run against the
// same simulated phone in-process and over libusb on the virtual USB bus
// (tests/usb/USBPhoneLink.h): instantiate with inProcess() and usbtest::overLibusb().

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "mtp/BulkTransport.h"
#include "mtp/MTPSession.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/phonesim/SimulatedTransport.h"

namespace phonetest {

struct LinkOptions {
    // The bulk read limit (60 s in the product); tests of unanswered reads shorten it.
    std::chrono::milliseconds readTimeout{60'000};
};

// A simulated phone attached to one kind of transport; destroying the link detaches the phone.
class PhoneLink {
  public:
    virtual ~PhoneLink() = default;
    // A new transport to the phone; one at a time. Throws what opening the transport throws.
    virtual std::unique_ptr<mtp::BulkTransport> connect(LinkOptions options = {}) = 0;
};

struct TransportKind {
    std::string name;  // the test name suffix: letters and digits only
    std::function<std::unique_ptr<PhoneLink>(std::shared_ptr<phonesim::SimulatedPhone>)> attach;
};

inline std::string transportName(const testing::TestParamInfo<TransportKind>& info) {
    return info.param.name;
}

class InProcessLink : public PhoneLink {
  public:
    explicit InProcessLink(std::shared_ptr<phonesim::SimulatedPhone> phone)
        : phone_(std::move(phone)) {}
    std::unique_ptr<mtp::BulkTransport> connect(LinkOptions options) override {
        return std::make_unique<phonesim::SimulatedTransport>(*phone_, options.readTimeout);
    }

  private:
    std::shared_ptr<phonesim::SimulatedPhone> phone_;
};

inline TransportKind inProcess() {
    return {"InProcess", [](std::shared_ptr<phonesim::SimulatedPhone> phone) {
                return std::make_unique<InProcessLink>(std::move(phone));
            }};
}

class PhoneTransportTest : public testing::TestWithParam<TransportKind> {
  protected:
    // Makes the phone and attaches it through the transport under test.
    phonesim::SimulatedPhone& startPhone(phonesim::PhoneConfig config = {}) {
        phone_ = std::make_shared<phonesim::SimulatedPhone>(std::move(config));
        link_ = GetParam().attach(phone_);
        return *phone_;
    }
    phonesim::SimulatedPhone& phone() { return *phone_; }
    PhoneLink& link() { return *link_; }

    // An open session over a new transport; the previous session and transport go first.
    mtp::MTPSession& openSession(LinkOptions options = {}) {
        session_.reset();
        session_ = std::make_unique<mtp::MTPSession>(link_->connect(options));
        session_->open();
        return *session_;
    }
    mtp::MTPSession& session() { return *session_; }
    void closeSession() { session_.reset(); }

    void TearDown() override {
        session_.reset();
        link_.reset();
        phone_.reset();
    }

  private:
    std::shared_ptr<phonesim::SimulatedPhone> phone_;
    std::unique_ptr<PhoneLink> link_;
    std::unique_ptr<mtp::MTPSession> session_;
};

}  // namespace phonetest
