// TLoop: sets the clocks of the ticket spitters (and, by setting, the barcode
// exit readers) of the loop at the period of "Sync Readers every XX minutes".
// Called once a minute by the main timer; SetClock only queues the command.
#include "bus/card.h"
#include "log/messlog.h"
#include "loop/loop.h"
#include "platform/clock.h"

namespace orlo {

void TLoop::SyncClocks() {
  if (SyncMinutes <= 0 || !Card) return;
  if (++SyncCount < SyncMinutes) return;
  bool any = false;
  for (int address = Card->FirstReader(); address <= Card->LastReader(); ++address) {
    const TDeviceTypes kind = DeviceTypeAt(address);
    if (kind == dtTicketSpitter || (kind == dtBarcodeExit && SyncExitReader)) {
      if (!any) Log("Automated Sync Of Time/Date to Spitters & Exit Readers");
      any = true;
      Card->SetClock(address, TCard::ClockText(Now()));
    }
  }
  if (any) Log("  Done T/D Sync");
  SyncCount = 0;
}

}  // namespace orlo
