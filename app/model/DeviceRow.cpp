#include "app/model/DeviceRow.h"

namespace brisvale {

namespace {
struct Describe {
    std::string operator()(const phase::Busy& p) const { return "busy(" + p.owner + ")"; }
    std::string operator()(const phase::Mounted& p) const {
        return "mounted(" + p.mountPoint + ", " + p.disk + ")";
    }
    std::string operator()(const phase::Failed& p) const { return "failed(" + p.message + ")"; }
    std::string operator()(const phase::NotMounted&) const { return "notMounted"; }
    std::string operator()(const phase::Preparing&) const { return "preparing"; }
    std::string operator()(const phase::Locked&) const { return "locked"; }
    std::string operator()(const phase::Mounting&) const { return "mounting"; }
    std::string operator()(const phase::Unmounting&) const { return "unmounting"; }
    std::string operator()(const phase::ChargingOnly&) const { return "chargingOnly"; }
};
}  // namespace

std::string describe(const DevicePhase& p) {
    return std::visit(Describe{}, p);
}

}  // namespace brisvale
