// A host serial device that owns one fixed-size, plain data record.
//
// The shared work of every such device lives here: settings, the end of a polling round
// (stamp, publish, threshold batch, history) and loading the record from a cache. The
// derived device decodes replies into the record and builds its signal snapshot.
#pragma once

#include <json/value.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>

#include "qdx_device.h"

namespace unidata {

// Operating modes, from the settings document's appSetting.b_mode.
constexpr int kModeDefault = 1;         // a new device's mode; passes mode requests unchecked
constexpr int kModeThresholdTable = 3;  // also reads the per-key threshold table

}  // namespace unidata

template <class Data, class Base, int RecordType>
class UniDataDevice : public Base {
    static_assert(std::is_trivially_copyable<Data>::value, "the record is moved as raw bytes");
    static_assert(sizeof(Data::data_id) == 4, "the record starts with a 4-byte device id");
    static_assert(sizeof(Data::timestamp) == sizeof(TTime), "the record carries a host time");

  public:
    UniDataDevice() {
        std::memset(static_cast<void*>(&data_), 0, sizeof(Data));
        b_mode_ = unidata::kModeDefault;
    }
    ~UniDataDevice() override = default;

    using Base::LoadFromCache;

    int LoadFromCache(const unsigned char* data, int size) override {
        if (data == nullptr || size != static_cast<int>(sizeof(Data))) {
            return 0;
        }
        std::memcpy(static_cast<void*>(&data_), data, sizeof(Data));
        this->data_ready_ = true;
        RoundDone();
        return 1;
    }

    void RoundDone() override {
        if (!this->data_ready_) {
            this->data_ready_ = true;
        }
        this->update_time_ = boost::date_time::second_clock<boost::posix_time::ptime>::local_time();
        const TTime stamp = get_ttime(this->update_time_);
        std::memcpy(record_bytes() + offsetof(Data, timestamp), &stamp, sizeof stamp);
        this->QDXVDevice::SendSP(RecordType, record_bytes(), sizeof(Data), false);
        this->Reset();
        this->status_ = 1;
        this->threshold_flag_ = false;
        RunCheckThreshold();
        std::cout << "rvSize is " << this->rule_values_.size() << std::endl;
        const bool batch = this->QDXVDevice::DoBatchCheckThreshold(this->rule_values_);
        this->threshold_flag_ = batch || this->threshold_flag_;
        this->QDXVDevice::SaveDeviceHistory(record_bytes(), sizeof(Data));
        this->rule_values_.clear();
    }

    int InitSetting(const Json::Value& settings) override {
        store_data_id();
        const Json::Value& app = settings["appSetting"];
        if (!app.isNull() && app.isObject() && !app["b_mode"].isNull()) {
            // atoi is the documented reading of b_mode: leading digits count, anything
            // else is mode 0. strtol's error reporting would have nothing to report to.
            b_mode_ = std::atoi(app["b_mode"].asString().c_str());  // NOLINT(cert-err34-c)
            std::cout << "InitSetting " << stored_data_id() << " b_mode_:" << b_mode_ << std::endl;
        }
        if (b_mode_ == unidata::kModeThresholdTable) {
            std::cout << "here 1" << std::endl;
            const Json::Value& table = settings["thresholdSetting"];
            if (!table.isNull()) {
                std::cout << "here 2" << std::endl;
                read_threshold_table(table);
            }
        }
        return Base::InitSetting(settings);
    }

    virtual void RunCheckThreshold() {}

  protected:
    unsigned char* record_bytes() { return reinterpret_cast<unsigned char*>(&data_); }
    const unsigned char* record_bytes() const {
        return reinterpret_cast<const unsigned char*>(&data_);
    }

    void store_data_id() {
        const std::uint32_t id = this->data_id_;
        std::memcpy(record_bytes() + offsetof(Data, data_id), &id, sizeof id);
    }

    std::uint32_t stored_data_id() const {
        std::uint32_t id = 0;
        std::memcpy(&id, record_bytes() + offsetof(Data, data_id), sizeof id);
        return id;
    }

    Data data_;
    int b_mode_ = unidata::kModeDefault;
    std::map<std::string, std::string> threshold_ids_;
    std::map<std::string, std::string> signal_names_;
    boost::posix_time::ptime json_time_;
    std::mutex json_mutex_;
    Json::Value json_value_;
    // Text of json_value_ as last serialised; empty until the next 801 after a rebuild.
    std::string json_text_;

  private:
    // A text or a number has no members to walk; an array's elements have no names, and
    // looking one up by name is the JSON library's error, which reaches the caller.
    void read_threshold_table(const Json::Value& table) {
        for (auto it = table.begin(); it != table.end(); ++it) {
            const std::string key = it.name();
            std::cout << "here " << key << std::endl;
            const Json::Value& entry = table[key];
            if (!entry.isObject()) {
                continue;
            }
            if (!entry["SignalName"].isNull()) {
                signal_names_[key] = entry["SignalName"].asString();
            }
            const char* const id_fields[] = {"NMAlarmID", "ID", "SignalNumber"};
            std::string ids;
            for (const char* field : id_fields) {
                if (!entry[field].isNull()) {
                    ids += entry[field].asString();
                } else {
                    std::cout << stored_data_id() << " " << field << " is missing" << std::endl;
                }
                ids += ";";
            }
            std::cout << "mobile:" << key << ":" << ids << " level:" << this->threshold_levels_[key]
                      << " value:" << this->threshold_values_[key] << std::endl;
            threshold_ids_[key] = ids;
        }
    }
};
