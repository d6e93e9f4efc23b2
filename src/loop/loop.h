// TLoop: the controller of one serial loop (one `loop` row, one COM port, the
// devices at its bus addresses). Built by start-up for every loop of this
// computer and every "POE/POF" loop; owns its connection supervisor and
// connection, its bus component, event log, counters and inputs, and releases
// them in reverse order.
//
// Thread confinement: construction, destruction, every device event handler
// (handed over by TCard) and every main-timer job run on the main thread, one
// at a time, so the loop's fields need no lock. Card mail goes to the shared
// mail worker and never holds the gate.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orlo {

class TCard;
class TCounter;
class TEventLog;
class TIniFileEx;
class TInput;
class TLoopMonitor;
class TMailWorker;
class TMonitor;
class TMainLoop;
class TMessLog;
class TODBC;
class TODBCConn;
class TODBCTransaction;
class TRowCache;
class TSql;
struct TDecisionRows;

using TDBKind = std::uint8_t;

enum TDeviceTypes : std::uint8_t { dtCardReader = 0, dtTicketSpitter = 1, dtBarcodeExit = 2 };

// What the loop needs from the service besides its id. Not owned; each must
// outlive the loop. Mail may be null (no card-event mail); Monitor may be
// null (the loop then counts into a record of its own that nobody shows).
struct TLoopContext {
  TMessLog* MessLog = nullptr;
  TMainLoop* MainLoop = nullptr;
  TMailWorker* Mail = nullptr;
  TMonitor* Monitor = nullptr;
};

// One spitter ticket record split into its fields (ParseTicketData).
struct TTicketData {
  bool Failed = true;
  std::string Barcode;
  bool Online = false;
  bool BackOut = true;
  std::string Ticket;
  double IssueTime = 0;
  int Lane = 0;
};

class TLoop {
 public:
  TLoop(const TLoopContext& context, int loopId);  // Create: never fails, logs instead
  ~TLoop();                                        // Destroy
  TLoop(const TLoop&) = delete;
  TLoop& operator=(const TLoop&) = delete;

  // The loop's id (its `loop` row).
  int Id() const { return LoopId; }
  // True once the loop made its bus component, which needs the database at
  // creation.
  bool HasCard() const { return Card != nullptr; }

  // Set-up and passage counting.
  void CountPassage(int address);
  static const char* BoolText(bool value) { return value ? "Y" : "N"; }

  // Card and memory-card events.
  void CardDataEvent(int reader, const std::string& value);
  void MemoryDataEvent(int reader, const std::string& value);
  void CheckCard(int address, const std::string& cardText);
  void CheckMemoryCard(int address, const std::string& record);
  std::string CardMessage(int code, const TDecisionRows& rows, double cardNo);
  bool SpecialOutput(int address, int spaceNo, int pulse);

  // Exit passes and ticket inventory.
  void BarcodeEvent(int reader, const std::string& value);
  void CheckExitPass(int address, const std::string& barcode);
  static TTicketData ParseTicketData(const std::string& text);
  void RecordTicketIssue(int address, const std::string& text);

  // Device status events and outputs.
  void PrinterEvent(int reader, const std::string& value);
  void CounterEvent(int reader, const std::string& value);
  // A power-up report: the device's counters start again from 0.
  void CounterRestartEvent(int reader);
  void InputEvent(int reader, const std::string& value);
  void OfflineEvent(int reader);
  void PowerUpEvent(int reader);
  // The status words of a printer report "first[,second]" (decimal; a word
  // that is not a number reads 0); true when the report holds two.
  static bool PrinterWords(const std::string& value, int& first, int& second);
  static std::string PrinterStatusText(int word);
  static void AddPrinterColumns(TSql& sql, int word, bool second);
  void UpdateOutputs();
  bool ForceGate(int address, bool open);
  void ManualOpen(int address, int pulse);

  // Schema upgrade and clock setting.
  void UpgradeSchema();
  void SyncClocks();

 private:
  // Tests read and set the loop's state through this class of theirs.
  friend class TLoopTestPeer;
  struct TLotFullDevice;
  enum class TExitOutcome : std::uint8_t;

  // The answer to a handed-over card is queued: its time since the card's
  // reply is counted, and the poll thread is let go to send it.
  void AnswerQueued();
  void CreateCardInterface();
  void BindHandlers();
  // Reads the loop's device rows: texts, kinds, counters and inputs; gives
  // the lowest and highest address (both 0 without usable rows).
  void ReadDevices(int& lowest, int& highest);
  void CreateSoftCounters();
  void ReadSettings(TIniFileEx& ini, bool rfModem);
  // The [Monitor] keys of the line trace, for the card's next Open.
  void ReadConfigCache(TIniFileEx& ini);
  void ReadLineTrace(TIniFileEx& ini);
  void RaiseLotFullFlags();
  // The devices whose lot-full output or sign is due for a refresh.
  std::vector<TLotFullDevice> ReadLotFullDevices();
  // Sends a device its lot-full output or free-space count and clears the
  // flag that asked for it.
  void UpdateLotFullDevice(const TLotFullDevice& device);
  // The offline and power-up report: logs the device and keeps online_flag.
  void SetOnline(int reader, bool online);
  bool DatabaseUp();
  // Runs decide (the statements of one decision) in transaction until its
  // work is on record; a deadlock victim is decided once more. False, logged
  // with the driver's message, when the work is not on record.
  bool RecordDecision(TODBCTransaction& transaction, const std::string& what,
                      const std::function<void()>& decide);
  // The answer to a presentation that cannot be decided (database down, or
  // the decision not on record): the low-security opening where the site
  // chose it; else, at a device that waits for an answer, a refusal.
  void AnswerWithoutDecision(int address, const std::string& value, bool answerExpected);
  // Queues the card mail to the mail worker; never waits for the SMTP server.
  void SendCardMail(const std::string& number, const std::string& firstName,
                    const std::string& deviceName);
  // Judges a readable exit pass and records what it changes; gives the
  // outcome and the device's pulse.
  TExitOutcome JudgeExitPass(int address, const std::string& barcode, double issued, int& pulse);
  static const char* ExitText(TExitOutcome outcome);
  // Writes a spitter's ticket record; true when its row was written.
  bool WriteTicketRecord(const TTicketData& data, int ticket);
  // "Loop Id <id> address <address>, Card <value>", as log lines name a
  // presentation.
  std::string Where(int address, const std::string& value) const;
  bool UsableAddress(int address);
  TDeviceTypes DeviceTypeAt(int address) const;
  void Log(const std::string& line) const;

  // What the service hands in (not owned).
  TMessLog* MessLog = nullptr;
  TMainLoop* MainLoop = nullptr;
  TMailWorker* Mail = nullptr;
  TLoopMonitor* Monitor = nullptr;  // never null: the monitor's record of this loop, or ownMonitor_
  std::unique_ptr<TLoopMonitor> ownMonitor_;  // without a monitor in the context

  // Owned, released in reverse order.
  std::unique_ptr<TODBC> DB;        // released after Conn
  std::unique_ptr<TODBCConn> Conn;  // the loop's own supervisor
  std::unique_ptr<TCard> Card;      // absent when the database was down at creation
  std::unique_ptr<TEventLog> EventLog;
  std::vector<std::unique_ptr<TCounter>> Counters;  // by bus address; empty below the lowest
  std::vector<TDeviceTypes> DeviceTypes;            // by bus address
  std::vector<std::unique_ptr<TInput>> Inputs;      // by bus address

  // The loop row and the settings file, read at creation.
  int LoopId = 0;
  bool DebugLog = true;
  int SyncMinutes = 0;
  int SyncCount = 0;
  int GraceTime = 15;
  std::vector<int> ExtendedGraceLanes{0};
  int GraceTimeExtended = 15;
  int GraceTimeFuture = 15;
  bool OldTicketFormat = false;
  bool FlatRate = false;
  std::string EmailServer;
  int EmailPort = 25;
  std::string EmailFrom;
  std::string EmailTo;
  bool LowSecurityOnDBError = false;
  // The configuration rows of card decisions, kept for "Config Cache
  // (seconds)" (0: read at every decision). Main thread only.
  std::unique_ptr<TRowCache> ConfigCache;
  bool SyncExitReader = true;
  // The open pulse of the last decided card, for the low-security opening.
  int LastPulse = 0;
};

}  // namespace orlo
