// The evaporative-cooling and chilled-water plant controller, polled as a Modbus slave.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>

#include "kv830_api.h"
#include "kv830_data.h"
#include "kv830_protocol.h"
#include "qdx_device.h"
#include "uni_data_device.h"

// Instantiated once, in kv830.cpp, and exported with the device built on it.
extern template class KV830_API UniDataDevice<KV830_Data_t, SPModbus, kv830::kRecordType>;

class KV830_API KV830 : public UniDataDevice<KV830_Data_t, SPModbus, kv830::kRecordType> {
  public:
    KV830();
    ~KV830() override;

    double Get_Value(unsigned id, const std::string& name) const override;
    int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                        int& out_size) override;
    int InitSetting(const Json::Value& settings) override;
    int RefreshStatus() override;
    int process_payload(SPModbus::tab_type table, unsigned count) override;
    void RunCheckThreshold() override;

  protected:
    // Which writer gives the text of 801: our own once it has been found to give the same
    // bytes as the JSON library the host loaded, the library's FastWriter otherwise.
    enum class TextWriter : std::uint8_t { Unchecked, Own, Library };

    int write_result_ = KV830_WRITE_PENDING;
    int write_expect_ = -1;
    TextWriter text_writer_ = TextWriter::Unchecked;

  private:
    int write_register(const void* in, int in_len);
    int write_registers(const void* in, int in_len);
    int forward_json_request(int code, const void* in, int in_len, void* out, int out_len,
                             int& out_size);
    int snapshot_text(void* out, int out_len, int& out_size);
    int snapshot_value(void* out, int out_len, int& out_size);
    void refresh_snapshot(bool with_text);
    bool build_snapshot(bool with_text);
    void write_snapshot_text();
};
