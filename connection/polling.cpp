// ReadComm, ClearComm, WriteComm and the cooperative polling loop
// looprocess, which raises DataArrived; WriteComm raises DataSent.
#include "component/comms_object.h"

namespace kavrel {

HRESULT CommsObject::ReadComm() {
  return Published(this, [&] {
    threadState().strReceived = Bstr();
    short slot = portComm;
    LONG size = 64;
    LONG count = 0;
    Check(self()->CommRead(&slot, threadState().strReceived.out(), &size, &count));
    ThreadState& ts = threadState();
    ts.lngStatus = count;
    if (ts.lngStatus > 0) {
      readBuffer = Bstr(ts.strReceived.view());
      statusComm = VARIANT_TRUE;
    } else if (ts.lngStatus < 0) {
      statusComm = VARIANT_FALSE;
    }
  });
}

HRESULT CommsObject::ClearComm() {
  return Published(this, [&] {
    short slot = portComm;
    LONG status = 0;
    Check(self()->CommFlush(&slot, &status));
    threadState().lngStatus = status;
  });
}

HRESULT CommsObject::WriteComm(BSTR* strData1) {
  if (!strData1) return E_POINTER;
  return Published(this, [&] {
    threadState().intLoopState = 4;
    LONG wait = 100;
    Check(self()->waitnow(&wait));
    // The length is kept here as well: a WriteComm that the host's handlers
    // make while CommWrite pumps replaces the thread's copy with its own.
    const LONG expected = static_cast<LONG>(::SysStringLen(*strData1));
    threadState().lngExpected = expected;

    short slot = portComm;
    LONG written = 0;
    Check(self()->CommWrite(&slot, strData1, &written));
    threadState().lngStatus = written;

    if (written == expected) {
      statusComm = VARIANT_TRUE;
      const std::u16string sent(Bstr::ViewOf(*strData1));
      events().Raise(KAVREL_DISPID_DATASENT, sent);
    } else {
      statusComm = VARIANT_FALSE;
    }
    Check(self()->looprocess());
  });
}

// Polls while the thread's intLoopState is below 4: each pass pumps the
// host's messages, reads, ends the device's transfers, raises DataArrived
// while StatusComm is true, and waits 20 ms. A stop requested during a pass
// takes effect after the whole pass.
HRESULT CommsObject::looprocess() {
  return Published(this, [&] {
    if (threadState().intLoopState >= 4) return;
    do {
      runtime().pump.Pump();
      Check(self()->ReadComm());
      {
        // The pass ends transfers without losing text either way: what this
        // pass's read left (it takes at most 1024 bytes, and more may have
        // come since) is read by the next pass, and what a WriteComm made
        // from the message pump (reported written, still leaving a device
        // that buffers its output) goes out.
        keepQueuesOnFlush = true;
        const HRESULT cleared = self()->ClearComm();
        keepQueuesOnFlush = false;
        Check(cleared);
      }
      if (statusComm) {
        const std::u16string arrived(readBuffer.view());
        events().Raise(KAVREL_DISPID_DATAARRIVED, arrived);
      }
      LONG wait = 20;
      Check(self()->waitnow(&wait));
    } while (threadState().intLoopState < 4);
  });
}

}  // namespace kavrel
