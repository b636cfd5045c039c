/* The public header compiles as C99 and every export links from C. */
#include <stdio.h>
#include <string.h>

#include "tarnlink/tarnlink.h"

static int failures = 0;
#define CHECK(cond)                                              \
  do {                                                           \
    if (!(cond)) {                                               \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                \
    }                                                            \
  } while (0)

int main(void) {
  VELA_DEVICE_INFO info;
  VELA_CHANNEL_ERR_INFO err;
  VELA_CHANNEL_STATUS status;
  VELA_CAN_TRANSMIT tx;
  VELA_CAN_RECEIVE rx[4];
  VELA_CANFD_TRANSMIT txfd;
  VELA_CANFD_RECEIVE rxfd[4];
  uint32_t value = 0;
  uint32_t h;
  uint32_t ch;
  memset(&tx, 0, sizeof tx);
  memset(&txfd, 0, sizeof txfd);

  h = VELA_OpenDevice(VELA_TYPE_LINK_2CH_TCP, 0, 0);
  CHECK(h == 0x300000u);
  ch = VELA_InitCAN(h, 1, NULL);
  CHECK(ch == h + 1);
  CHECK(VELA_GetDeviceInf(h, &info) == 0); /* not started: no transport */
  CHECK(VELA_GetDeviceInf(h, NULL) == 0);
  CHECK(VELA_StartCAN(ch) == 0); /* no remote address */
  CHECK(VELA_ResetCAN(ch) == 1); /* disposes of the failed start */
  CHECK(VELA_ResetCAN(ch) == 0); /* now idle */
  CHECK(VELA_ClearBuffer(ch) == 1);
  CHECK(VELA_ReadChannelErrInfo(ch, &err) == 1 && err.error_code == 0);
  CHECK(VELA_ReadChannelErrInfo(ch, NULL) == 0);
  CHECK(VELA_ReadChannelStatus(ch, &status) == 1);
  CHECK(VELA_ReadChannelStatus(ch, NULL) == 0);
  CHECK(VELA_Transmit(ch, &tx, 1) == 0);
  CHECK(VELA_Transmit(ch, NULL, 1) == 0);
  CHECK(VELA_Receive(ch, rx, 4, 0) == 0);
  CHECK(VELA_Receive(ch, NULL, 4, 0) == 0);
  CHECK(VELA_TransmitFD(ch, &txfd, 1) == 0);
  CHECK(VELA_ReceiveFD(ch, rxfd, 4, 0) == 0);
  CHECK(GetIProperty(1) == 0);
  CHECK(ReleaseIProperty(1) == 0);
  CHECK(VELA_SetReference(VELA_TYPE_LINK_2CH_TCP, 0, 0, VELA_REF_REMOTE_ADDR, "127.0.0.1") == 1);
  CHECK(VELA_GetReference(VELA_TYPE_LINK_2CH_TCP, 0, 0, VELA_REF_WORK_MODE, &value) == 1 && value == 0);
  CHECK(VELA_GetReceiveNum(ch, VELA_QUEUE_CANFD) == 0);
  CHECK(VELA_CloseDevice(h) == 1);
  CHECK(VELA_CloseDevice(h) == 0);
  if (failures == 0) printf("c_header_test: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
