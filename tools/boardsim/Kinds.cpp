#include "boardsim/Kinds.h"

#include "boardsim/ArduinoSim.h"
#include "boardsim/GarbageSim.h"
#include "boardsim/Icp12Sim.h"
#include "boardsim/SilentSim.h"

namespace kf::boardsim {
namespace {

std::unique_ptr<BoardSim> arduino(ArduinoType type, const KindSettings& settings,
                                  std::optional<std::string> reply = std::nullopt) {
    ArduinoOptions options;
    options.type = type;
    options.bootDelay = settings.bootDelay;
    options.identifyReply = std::move(reply);
    return std::make_unique<ArduinoSim>(options);
}

}  // namespace

const std::vector<std::string>& kindNames() {
    static const std::vector<std::string> names = {"icp12",   "icp12-lower", "ardu-et",
                                                   "ardu-al", "ardu-tm",     "lower",
                                                   "silent",  "garbage",     "flood"};
    return names;
}

std::unique_ptr<BoardSim> makeSim(std::string_view kind, const KindSettings& settings) {
    if (kind == "icp12") {
        return std::make_unique<Icp12Sim>();
    }
    if (kind == "icp12-lower") {
        Icp12Options options;
        options.identifyReply = "(zmd icp12 v1)";
        return std::make_unique<Icp12Sim>(options);
    }
    if (kind == "ardu-et") {
        return arduino(ArduinoType::ET, settings);
    }
    if (kind == "ardu-al") {
        return arduino(ArduinoType::AL, settings);
    }
    if (kind == "ardu-tm") {
        return arduino(ArduinoType::TM, settings);
    }
    if (kind == "lower") {
        return arduino(ArduinoType::TM, settings, "tm");
    }
    if (kind == "silent") {
        return std::make_unique<SilentSim>();
    }
    if (kind == "garbage" || kind == "flood") {
        GarbageOptions options;
        options.flood = kind == "flood";
        return std::make_unique<GarbageSim>(options);
    }
    return nullptr;
}

}  // namespace kf::boardsim
