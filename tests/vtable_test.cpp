// The host calls the device through its vtable: the order of the virtual operations is
// an ABI contract with a binary we do not build. On the Itanium C++ ABI a pointer to a
// virtual member function holds 1 + the byte offset of its vtable slot.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "kv830.h"

namespace {

template <class M>
long slot_of(M member) {
    static_assert(sizeof(M) == 2 * sizeof(std::ptrdiff_t), "Itanium member pointer");
    std::ptrdiff_t raw[2];
    std::memcpy(raw, &member, sizeof raw);
#if defined(__arm__) || defined(__aarch64__)
    // The ARM variant of the ABI keeps the plain slot offset and marks a virtual member
    // in the low bit of the this-adjustment, as code addresses may be odd (Thumb).
    if ((raw[1] & 1) == 0) {
        return -1;  // not virtual
    }
    return static_cast<long>(raw[0] / static_cast<std::ptrdiff_t>(sizeof(void*)));
#else
    if ((raw[0] & 1) == 0) {
        return -1;  // not virtual
    }
    return static_cast<long>((raw[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*)));
#endif
}

}  // namespace

TEST(VtableTest, VirtualOperationsKeepTheHostSlotOrder) {
    using LoadString = int (KV830::*)(const std::string&);
    using LoadBytes = int (KV830::*)(const unsigned char*, int);
    struct Row {
        const char* name;
        long slot;
        long expected;
    };
    const Row rows[] = {
        {"Get_Value",             slot_of(&KV830::Get_Value),                              0 },
        {"LoadFromCache(string)", slot_of(static_cast<LoadString>(&KV830::LoadFromCache)), 1 },
        {"LoadFromCache(bytes)",  slot_of(static_cast<LoadBytes>(&KV830::LoadFromCache)),  2 },
        {"DataId",                slot_of(&KV830::DataId),                                 3 },
        {"DeviceType",            slot_of(&KV830::DeviceType),                             4 },
        {"DeviceIoControl",       slot_of(&KV830::DeviceIoControl),                        5 },
        {"RoundDone",             slot_of(&KV830::RoundDone),                              6 },
        {"UseControllerDb",       slot_of(&KV830::UseControllerDb),                        7 },
 // slots 8 and 9: the complete and the deleting destructor
        {"Reset",                 slot_of(&KV830::Reset),                                  10},
        {"InitV",                 slot_of(&KV830::InitV),                                  11},
        {"Init",                  slot_of(&KV830::Init),                                   12},
        {"InitSetting",           slot_of(&KV830::InitSetting),                            13},
        {"IsSupportDevice",       slot_of(&KV830::IsSupportDevice),                        14},
        {"GetChildVDevice",       slot_of(&KV830::GetChildVDevice),                        15},
        {"GetAllChildVDevices",   slot_of(&KV830::GetAllChildVDevices),                    16},
        {"SendSP",                slot_of(&KV830::SendSP),                                 17},
        {"SendDelayData",         slot_of(&KV830::SendDelayData),                          18},
        {"SendDoData",            slot_of(&KV830::SendDoData),                             19},
        {"ReadDi",                slot_of(&KV830::ReadDi),                                 20},
        {"ReadAi",                slot_of(&KV830::ReadAi),                                 21},
        {"Get_SP_Value",          slot_of(&KV830::Get_SP_Value),                           22},
        {"RefreshStatus",         slot_of(&KV830::RefreshStatus),                          23},
        {"process",               slot_of(&KV830::process),                                24},
        {"IsProcessing",          slot_of(&KV830::IsProcessing),                           25},
        {"IsStalled",             slot_of(&KV830::IsStalled),                              26},
        {"SendData",              slot_of(&KV830::SendData),                               27},
        {"SendParityData",        slot_of(&KV830::SendParityData),                         28},
        {"OpenPort",              slot_of(&KV830::OpenPort),                               29},
        {"ClosePort",             slot_of(&KV830::ClosePort),                              30},
        {"process_payload",       slot_of(&KV830::process_payload),                        31},
        {"on_error",              slot_of(&KV830::on_error),                               32},
        {"RunCheckThreshold",     slot_of(&KV830::RunCheckThreshold),                      33},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.slot, row.expected);
    }
}
