/*
 * consumer: the smallest host of the SARNMD driver.
 *
 *   consumer PORT [GATE]
 *
 * Loads the driver (the path built in as SARNMD_DRIVER, or the environment
 * variable SARNMD_DRIVER), asks GetSarnInfo for the context size, cold-starts
 * one driver instance on PORT with the driver's default line settings, checks
 * the gate text (default 0140001, holding register 1 of controller 1) and
 * reads it once. Prints "GATE = VALUE" and exits with the driver's result.
 */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "korven.h"
#include "sarnmd.h"

#ifndef SARNMD_DRIVER
#define SARNMD_DRIVER "libsarnmd.so.1"
#endif

static SarnMainFn pSarnMain;

static ResultCode Call(DriverContext* pContext, int32_t iOpCode, void* pParam) {
  DriverRequest request;
  memset(&request, 0, sizeof request);
  request.pContext = pContext;
  request.iOpCode = iOpCode;
  request.iDriverNr = 1;
  request.pParam = pParam;
  return pSarnMain(&request);
}

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: consumer PORT [GATE]\n");
    return 64;
  }
  const char* pszPort = argv[1];
  const char* pszGate = argc > 2 ? argv[2] : "0140001";
  const char* pszDriver = getenv("SARNMD_DRIVER") ? getenv("SARNMD_DRIVER") : SARNMD_DRIVER;

  void* pLib = dlopen(pszDriver, RTLD_NOW);
  if (pLib == NULL) {
    fprintf(stderr, "consumer: %s\n", dlerror());
    return 69;
  }
  pSarnMain = (SarnMainFn)dlsym(pLib, "SarnMain");
  if (pSarnMain == NULL) {
    fprintf(stderr, "consumer: %s has no SarnMain\n", pszDriver);
    return 69;
  }

  /* 1. What the driver needs: the context size and its default line. */
  DriverInfo info;
  memset(&info, 0, sizeof info);
  Call(NULL, SARN_OP_GET_SARN_INFO, &info);
  DriverContext* pContext = calloc(1, (size_t)info.iContextSize);
  if (pContext == NULL) return 70;

  /* 2. Cold start on the port. */
  ColdStartParams cold;
  memset(&cold, 0, sizeof cold);
  snprintf(cold.szPort, sizeof cold.szPort, "%s", pszPort);
  cold.bEnable = 1;
  cold.iTimeout = 100; /* 1 s */
  cold.line = info.defaultLine;
  ResultCode rc = Call(pContext, SARN_OP_COLD_START, &cold);
  if (rc != SARN_OK) {
    err(32, "consumer: ColdStart on %s failed, rc=%d", pszPort, rc);
    return rc;
  }

  /* 3. The gate: a 16-bit register (data type 0). */
  GateSpec spec;
  memset(&spec, 0, sizeof spec);
  spec.pszAddress = pszGate;
  spec.iDataType = 0;
  rc = Call(pContext, SARN_OP_SINGLE_ADDRESS_PARSER, &spec);
  if (rc == SARN_OK) {
    /* 4. One read: the value lives in the second 16-bit half of the cell. */
    uint16_t cell[2] = {0, 0};
    GateTransfer transfer;
    memset(&transfer, 0, sizeof transfer);
    transfer.pszName = pszGate;
    transfer.iPlcAddr = spec.iPlcAddr;
    transfer.iMemType = spec.iMemType;
    transfer.iAddress = spec.iAddress;
    transfer.iBitNr = spec.iBitNr;
    transfer.iBits = spec.iBits;
    transfer.iDataType = 0;
    transfer.iCount = 1;
    transfer.pData = cell;
    rc = Call(pContext, SARN_OP_SINGLE_READ, &transfer);
    if (rc == SARN_OK) printf("%s = %u\n", pszGate, cell[1]);
  }
  if (rc != SARN_OK) err(32, "consumer: gate %s failed, rc=%d", pszGate, rc);

  Call(pContext, SARN_OP_END_SARN, NULL);
  free(pContext);
  return rc;
}
