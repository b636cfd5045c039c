/* A program from outside the project, built only against the unpacked
 * packages: opens a device on the simulator given by its port, reads the
 * device information, and gets an echoed frame back. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tarnlink/tarnlink.h>

#ifdef CONSUMER_UDP
#define TYPE VELA_TYPE_LINK_2CH_UDP
#else
#define TYPE VELA_TYPE_LINK_2CH_TCP
#endif

static int Fail(const char* what) {
  fprintf(stderr, "consumer: %s failed\n", what);
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: consumer PORT\n");
    return 2;
  }
  uint32_t port = (uint32_t)strtoul(argv[1], NULL, 10);
  char address[32] = "127.0.0.1";
  const uint32_t dev = VELA_OpenDevice(TYPE, 0, 0);
  if (dev == 0) return Fail("VELA_OpenDevice");
  if (!VELA_SetReference(TYPE, 0, 0, VELA_REF_REMOTE_ADDR, address) ||
      !VELA_SetReference(TYPE, 0, 0, VELA_REF_REMOTE_PORT, &port)) {
    return Fail("VELA_SetReference");
  }
  const uint32_t ch = VELA_InitCAN(dev, 0, NULL);
  if (!VELA_StartCAN(ch)) return Fail("VELA_StartCAN");
  VELA_DEVICE_INFO info;
  memset(&info, 0, sizeof(info));
  if (!VELA_GetDeviceInf(dev, &info)) return Fail("VELA_GetDeviceInf");

  VELA_CAN_TRANSMIT tx;
  memset(&tx, 0, sizeof(tx));
  tx.id = 0x123;
  tx.len = 2;
  tx.data[0] = 0xDE;
  tx.data[1] = 0xAD;
  if (VELA_Transmit(ch, &tx, 1) != 1) return Fail("VELA_Transmit");
  VELA_CAN_RECEIVE rx[4];
  uint32_t n = 0;
  for (int tries = 0; n == 0 && tries < 50; ++tries) n = VELA_Receive(ch, rx, 4, 100);
  if (n == 0 || rx[0].id != 0x123 || rx[0].len != 2 || rx[0].data[0] != 0xDE || rx[0].data[1] != 0xAD) {
    return Fail("the echo of 123#DEAD");
  }
  printf("consumer: %.40s, %u channels, 123#DEAD came back\n", info.model, (unsigned)info.channel_count);
  VELA_ResetCAN(ch);
  return VELA_CloseDevice(dev) == 1 ? 0 : Fail("VELA_CloseDevice");
}
