// The simulated plant behind the controller's register image.
//
// The model owns the image the Modbus side serves: holding registers 0..285 and discrete
// inputs 0..80. Setpoints and command bits are read straight from the image, so a write
// takes effect at the next step; measured values live in the model's own state and are
// rendered into the image after every step. Time only moves through advance(), so tests
// drive it with simulated seconds and never wait.
#pragma once

#include <array>
#include <cstdint>
#include <random>

#include "plant_registers.h"

namespace plantsim {

struct ModelConfig {
    std::uint32_t seed = 1;
    // The plant does not evolve: the image changes only by writes.
    bool frozen = false;
    // Mean rate of spontaneous drive and valve faults per unit and hour.
    double faults_per_hour = 0.2;
};

class PlantModel {
  public:
    using Holding = std::array<std::uint16_t, kHoldingCount>;
    using Inputs = std::array<std::uint8_t, kInputCount>;

    explicit PlantModel(const ModelConfig& config);

    const Holding& holding() const { return hr_; }
    const Inputs& inputs() const { return di_; }
    bool frozen() const { return config_.frozen; }
    double seconds() const { return time_; }

    // A write from the line to `count` consecutive registers from `first` (all inside
    // 0..285, checked by the caller).
    void write(int first, const std::uint16_t* values, int count);

    // A discrete input set from outside (image_apply.h); a plant that evolves may change
    // it again.
    void force_input(int i, bool on) { set_input(i, on); }

    // Lets `seconds` of plant time pass; does nothing when frozen.
    void advance(double seconds);

    // Travel time of a valve from one end to the other.
    double valve_travel_seconds(int valve) const {
        return valves_[static_cast<std::size_t>(valve)].travel;
    }

    // Recomputes the limit alarm bits of 244/245 from the values and limits in `hr`.
    static void evaluate_alarms(Holding& hr);

  private:
    struct DriveState {
        bool running = false;
        double freq = 0.0;  // 0.1 Hz
        bool fault = false;
        double fault_left = 0.0;
        bool latch = false;  // on/off memory of a level-controlled drive
    };
    struct ValveState {
        double position = 0.0;  // 0 closed .. 1 open
        double travel = 20.0;
        bool command_open = false;
        bool stuck = false;
        double stall = 0.0;
        bool open_fault = false;
        bool close_fault = false;
    };

    void step(double dt);
    void step_environment(double dt);
    void step_mode(double dt);
    void step_drives(double dt);
    void step_valves(double dt);
    void step_water(double dt);
    void step_chiller(double dt);
    void step_water_treatment(double dt);
    void step_meter(double dt);
    void render();
    void render_drives();
    void render_temperatures();
    void render_pressures_and_levels();
    void render_chiller();
    void render_water_treatment();
    void render_meter();
    void render_valves();
    double chiller_condenser_out() const;
    double* state_of(int r);
    void acknowledge_valve_faults(int first, int count);

    bool bit(int r, int b) const { return bit_of(hr_[static_cast<std::size_t>(r)], b); }
    std::uint16_t get(int r) const { return hr_[static_cast<std::size_t>(r)]; }
    void set(int r, double value);
    void set_bit(int r, int b, bool on);
    void set_input(int i, bool on) { di_[static_cast<std::size_t>(i)] = on ? 1 : 0; }
    double noise(double amplitude);
    bool chance(double per_hour, double dt);
    double relax(double value, double target, double time_constant, double dt) const;
    bool chiller_mode() const { return mode_ >= 2; }
    bool plate_mode() const { return mode_ == 1 || mode_ == 2; }
    double drive_target(int d) const;
    bool drive_auto_wants(int d) const;
    bool valve_auto_wants(int v) const;

    ModelConfig config_;
    std::mt19937 rng_;
    Holding hr_{};
    Inputs di_{};
    double time_ = 0.0;
    double fault_rate_ = 0.0;  // faults_per_hour, 0 while settling

    // Measured state, in register units.
    double outdoor_temp_ = 0, humidity_ = 0, outdoor_base_ = 0, day_phase_ = 0;
    double supply_temp_ = 0, return_temp_ = 0, cooling_water_temp_ = 0, tank_temp_ = 0;
    double tank_level_ = 0, basin_level_ = 0;
    double conductivity_ = 0, ph_ = 0, turbidity_ = 0, corrosion_ = 0, tracer_ = 0;
    double discharge_temp_ = 0, chiller_current_ = 0;
    double energy_kwh_ = 0, power_kw_ = 0;
    double dosing_clock_ = 0;

    int mode_ = 0;
    int pending_mode_ = 0;
    double pending_for_ = 0.0;
    bool chiller_running_ = false;
    bool chiller_fault_ = false;
    double chiller_fault_left_ = 0.0;
    bool blowdown_ = false;
    bool makeup_valve_latch_ = false;
    std::array<DriveState, kDriveCount> drives_{};
    std::array<ValveState, kValveCount> valves_{};
};

}  // namespace plantsim
