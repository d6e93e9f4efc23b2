// Alarm inputs of the loop's devices (TInput) and the loop's event log
// (TEventLog).
//
// TInput watches two alarm inputs of one device: a door contact that raises a
// door-ajar alarm when the door stays open longer than device.ajar_timer
// seconds, and pulses an alarm output at each input report until an operator
// acknowledges it through device.alarm_ack; and a fire input that puts every
// device with fire_flag 1 into permanent open (perm_open) while it is active.
// The bus is reached only through the pulse callback, so this subsystem does
// not depend on the bus component; the loop wires it to its TCard's
// PulseOutput.
//
// Ownership: one TInput per bus address, created and owned by the loop; the
// connection, the event log and the message log are the loop's and must
// outlive it. Threads: main thread only (input reports are handed to the main
// thread, one at a time), so the class takes no lock.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace orlo {

class TMessLog;
class TODBC;

// TEventLog: takes the loop's alarm and printer events. The system keeps none
// of them; a listener (tests, a future event store) may be attached. Owned by
// the loop; main thread only, no lock.
class TEventLog {
 public:
  // Event kinds in use.
  static constexpr int kDoorAjarAlarm = 2;
  static constexpr int kDoorAjarAcknowledged = 3;
  static constexpr int kFireAlarm = 4;
  static constexpr int kPrinter = 9;

  using TListener = std::function<void(const std::string& text, int kind, int address)>;

  TEventLog(TODBC* conn, int loopId) : conn_(conn), loopId_(loopId) {}
  TEventLog(const TEventLog&) = delete;
  TEventLog& operator=(const TEventLog&) = delete;

  // Takes one event (address -1 for the alarm events) and keeps nothing.
  void AddEvent(const std::string& text, int kind, int address);
  void SetListener(TListener listener) { listener_ = std::move(listener); }

  int LoopId() const { return loopId_; }
  TODBC* Connection() const { return conn_; }
  // The last printer status word; -1 until the loop's printer event sets it.
  int PrinterStatus() const { return printerStatus_; }
  void SetPrinterStatus(int status) { printerStatus_ = status; }

 private:
  TODBC* conn_;
  int loopId_;
  int printerStatus_ = -1;
  TListener listener_;
};

class TInput {
 public:
  // The alarm output pulse: (bus address, output number, duration). The loop
  // binds it to TCard::PulseOutput; an empty function sends nothing.
  using TPulseOutput = std::function<void(int address, int output, int duration)>;

  // Duration handed to each alarm output pulse.
  static constexpr int kAjarPulse = 5;

  // Reads the device row at (loopId, address) once: id, door_input,
  // ajar_timer, ajar_output and fire_input (0 when there is no such row).
  TInput(int loopId, TODBC* conn, TEventLog* eventLog, TMessLog* messLog, TPulseOutput pulse,
         int address);
  TInput(const TInput&) = delete;
  TInput& operator=(const TInput&) = delete;

  // One input status report: its first character holds bit n-1 for input n.
  // A report without a first character carries no input state and changes
  // nothing.
  void ProcessInput(std::string_view report);

  // Whether input number (1..8) is active in the report's first character.
  // Other numbers name no bit of it, and an empty report holds no input: never
  // active.
  static bool InputActive(std::string_view report, int input);

  int Address() const { return address_; }
  int DeviceId() const { return deviceId_; }
  int DoorInput() const { return doorInput_; }
  int AjarTimer() const { return ajarTimer_; }
  int AjarOutput() const { return ajarOutput_; }
  int FireInputNumber() const { return fireInput_; }
  TDateTime OpenSince() const { return openSince_; }
  bool Acknowledged() const { return acknowledged_; }
  bool Alarm() const { return alarm_; }
  bool Fire() const { return fire_; }
  TMessLog* MessLog() const { return messLog_; }

 private:
  void DoorAjar(std::string_view report);
  void FireInput(std::string_view report);

  TPulseOutput pulse_;
  int address_;
  int deviceId_ = 0;
  TMessLog* messLog_;  // kept for the loop's sake; the operations write no lines
  TEventLog* eventLog_;
  TODBC* conn_;
  int doorInput_ = 0;   // 1..8; 0: no door supervision
  int ajarTimer_ = 0;   // seconds the door may stay open
  int ajarOutput_ = 0;  // output to pulse; 0: no door supervision
  TDateTime openSince_ = 0;
  bool acknowledged_ = false;
  bool alarm_ = false;  // also: device.door_ajar is 1 and owed a clear
  int fireInput_ = 0;   // 1..8; 0: none
  bool fire_ = false;   // also: perm_open 1 was written and is owed an "OFF"
};

}  // namespace orlo
