// Declarations of the host's device framework that a device plug-in builds against.
//
// The virtual operations are declared in the host's slot order; a plug-in compiled
// against this header shares its vtables with the host binary, so the order of the
// virtual declarations and of the data members must not change.
//
// This folder holds the host's contract and nothing else: the names, members and
// operations a device may use. Whatever a host implementation keeps for itself lives
// beside its own sources, so a plug-in that compiles here compiles against the host's
// own headers too.
#pragma once

#include <json/value.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// Serial parity of a port.
enum EnumParity {
    PARITY_NONE = 0,
    PARITY_ODD = 1,
    PARITY_EVEN = 2,
    PARITY_MARK = 3,
    PARITY_SPACE = 4
};

// One entry of the threshold check that the host runs per round.
struct rule_value {
    unsigned data_id = 0;
    std::string key;
    std::string signal_name;
    std::string alarm_id;
    std::string signal_number;
    int level = 0;
    double value = 0.0;
    double threshold = 0.0;
    bool alarm = false;
};

// Calendar fields of a time as the host stores them in records: 7 bytes, year first.
#pragma pack(push, 1)
struct TTime {
    std::uint16_t year;
    std::uint8_t month;
    std::uint8_t day;
    std::uint8_t hour;
    std::uint8_t minute;
    std::uint8_t second;
};
#pragma pack(pop)
static_assert(sizeof(TTime) == 7, "host time stamps are 7 bytes");

TTime get_ttime(boost::posix_time::ptime t);

class QDXVDevice;
class QDXSPDevice;

class QDXController {
  public:
    virtual ~QDXController();
};

class VDeviceInterface {
  public:
    virtual double Get_Value(unsigned id, const std::string& name) const = 0;
    virtual int LoadFromCache(const std::string& cache) = 0;
    virtual int LoadFromCache(const unsigned char* data, int size) = 0;
    virtual unsigned DataId() const = 0;
    virtual const std::string& DeviceType() const = 0;
    virtual int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                                int& out_size) = 0;
    virtual void RoundDone() = 0;
    virtual bool UseControllerDb() = 0;
    virtual ~VDeviceInterface();
};

class QDXVDevice : public VDeviceInterface {
  public:
    QDXVDevice();
    ~QDXVDevice() override;
    QDXVDevice(const QDXVDevice&) = delete;
    QDXVDevice& operator=(const QDXVDevice&) = delete;

    double Get_Value(unsigned, const std::string&) const override {
        throw std::out_of_range("数据未就绪");
    }
    int LoadFromCache(const std::string& cache) override {
        return LoadFromCache(reinterpret_cast<const unsigned char*>(cache.data()),
                             static_cast<int>(cache.size()));
    }
    int LoadFromCache(const unsigned char* data, int size) override;
    unsigned DataId() const override { return data_id_; }
    const std::string& DeviceType() const override { return device_type_; }
    int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                        int& out_size) override;
    void RoundDone() override;
    bool UseControllerDb() override { return use_controller_db_; }

    virtual void Reset();
    virtual int InitV(QDXVDevice* parent, unsigned data_id, const Json::Value& config);
    virtual int Init(std::weak_ptr<QDXController> controller, unsigned data_id,
                     const Json::Value& config);
    virtual int InitSetting(const Json::Value& settings);
    virtual bool IsSupportDevice(const std::string& type) const;
    virtual std::shared_ptr<QDXVDevice> GetChildVDevice(unsigned) { return {}; }
    virtual std::vector<std::shared_ptr<QDXVDevice>> GetAllChildVDevices() { return {}; }
    virtual int SendSP(int record_type, const unsigned char* data, unsigned size, bool urgent);
    virtual int SendDelayData(int delay);
    virtual int SendDoData(int channel, char value);
    virtual int ReadDi(int channel);
    virtual double ReadAi(int channel);
    virtual double Get_SP_Value(unsigned id, const std::string& name);
    virtual int RefreshStatus();

    int SaveDeviceHistory(const unsigned char* data, unsigned size);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);

  protected:
    unsigned data_id_ = 0;
    std::string device_type_;
    bool use_controller_db_ = false;
    std::int16_t status_ = 0;
    boost::posix_time::ptime update_time_;
    bool data_ready_ = false;
    std::vector<rule_value> rule_values_;
    bool threshold_flag_ = false;
    std::map<std::string, int> threshold_levels_;
    std::map<std::string, float> threshold_values_;
};

class QDXSPDevice : public QDXVDevice {
  public:
    QDXSPDevice();
    ~QDXSPDevice() override;

    void Reset() override;
    int RefreshStatus() override;

    virtual int process(unsigned char* data, unsigned size);
    virtual bool IsProcessing();
    virtual bool IsStalled();
    virtual int SendData(const unsigned char* data, unsigned size);
    virtual int SendParityData(const unsigned char* data, unsigned size, EnumParity parity);
    virtual int OpenPort();
    virtual int ClosePort();
};

class SPModbus : public QDXSPDevice {
  public:
    enum tab_type { TAB_BITS = 0, TAB_INPUT_BITS = 1, TAB_REGISTERS = 2, TAB_INPUT_REGISTERS = 3 };

    SPModbus();
    ~SPModbus() override;

    int InitSetting(const Json::Value& settings) override;
    int process(unsigned char* data, unsigned size) override;

    virtual int process_payload(tab_type table, unsigned count) = 0;
    virtual int on_error();

    int modbus_read_registers(int start, int count);
    int modbus_read_input_bits(int start, int count);
    int modbus_write_register(int address, int value);
    int modbus_write_registers(int address, int count, const unsigned short* values);

  protected:
    int request_tag_ = 0;
    bool modbus_option_ = false;
    int baud_rate_ = 9600;
    // Room for the longest reply a read can carry: 2000 bits or 125 registers.
    unsigned char reply_bits_[2000] = {};
    unsigned short reply_regs_[125] = {};
};

class Provider {
  public:
    Provider() = default;
    virtual ~Provider() = default;
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
};

class QDXSPDeviceProvider : public Provider {
  public:
    QDXSPDeviceProvider() = default;
    ~QDXSPDeviceProvider() override = default;
    virtual QDXSPDevice* create() const = 0;
};
