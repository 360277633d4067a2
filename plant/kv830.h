// The evaporative-cooling and chilled-water plant controller, polled as a Modbus slave.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>

#include "kv830_data.h"
#include "qdx_device.h"
#include "uni_data_device.h"

// Request codes of DeviceIoControl that the device serves itself.
enum KV830Request {
    KV830_WRITE_REGISTER = 206,
    KV830_WRITE_REGISTERS = 210,
    KV830_SIGNAL_REQUEST = 310,
    KV830_MODE_SIGNAL_REQUEST = 320,
    KV830_SNAPSHOT_TEXT = 801,
    KV830_SNAPSHOT_VALUE = 803,
};

// Outcome of the last register write, as the readback reports it.
enum KV830WriteResult {
    KV830_WRITE_PENDING = -1,
    KV830_WRITE_CONFIRMED = 1,
    KV830_WRITE_NOT_CONFIRMED = 3,
};

class KV830_API KV830 : public UniDataDevice<KV830_Data_t, SPModbus, 5156> {
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

extern template class UniDataDevice<KV830_Data_t, SPModbus, 5156>;
