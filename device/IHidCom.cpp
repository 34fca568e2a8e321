#include "device/IHidCom.h"

#include "sdk/core/LogLine.h"

namespace vbz {

IHidCom::IHidCom() : answerLengths(vbz::answerLengths()) {}

IHidCom::~IHidCom() = default;

void IHidCom::appendDevice(std::vector<vbz_device_info_t>& devices, vbz_output_t output,
                           uint32_t serial, vbz_device_type_t type) {
    vbz_device_info_t record{};
    record.outputType = output;
    record.serialNumber = serial;
    record.deviceType = type;
    record.deviceVersion = nullptr;
    record.next = nullptr;
    devices.push_back(record);
    for (std::size_t i = 0; i + 1 < devices.size(); ++i) devices[i].next = &devices[i + 1];
}

bool IHidCom::writableFrame(const uint8_t* frame, int length, const char* tag) {
    if (!frame) {
        LogLine(4, tag) << "Could not send a null frame.";
        return false;
    }
    if (length < 1 || static_cast<std::size_t>(length) > kSendBufferSize) {
        LogLine(4, tag) << "Could not send a frame of " << length
                        << " bytes: frames hold 1 to " << kSendBufferSize << " bytes.";
        return false;
    }
    return true;
}

void IHidCom::logNotAvailable(const char* tag, const char* link, uint32_t serial,
                              const char* checklist) {
    if (serial == 0) {
        LogLine(2, tag) << "No device is available over " << link
                        << ". If it was expected to connect to one, make sure that: " << checklist;
    } else {
        LogLine(2, tag) << "Device " << serial << " is not available over " << link
                        << ". If it was expected to connect, make sure that: " << checklist;
    }
}

}  // namespace vbz
