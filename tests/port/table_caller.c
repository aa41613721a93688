/* A caller of the port compiled apart from the class, in C, as a stack built
   by another compiler would be: it knows only the object's first word (the
   table) and the order of the 21 operations. */
#include <stddef.h>
#include <string.h>

#include "port_table.h"

int CallThroughTable(void* port, const char* path);

int CallThroughTable(void* port, const char* path) {
  const PortTable* t = *(const PortTable* const*)port;
  PortDesc desc;
  PortDesc next;
  char reply[32];
  ULONG32 first = 0;
  ULONG32 second = 0;
  ULONG32 mode = 0;
  void* callback = (void*)1;
  unsigned char data[3] = {1, 2, 3};
  unsigned char back[3] = {0, 0, 0};
  ULONG32 count = 0;
  if (t->addref(port) != 2) return 1;
  if (t->release(port) != 1) return 2;
  if (t->getstate(port) != 0) return 3;
  if (t->islineon(port)) return 4;
  if (t->getthroughput(port, &first) != (LONG32)0xE1000002u) return 5;
  if (t->close(port) != (LONG32)0xE1000102u) return 6;
  if (t->findfirst(port, &desc) != 0 || desc.index != 1 || strcmp(desc.path, path) != 0) return 7;
  if (t->findnext(port, &desc, &next) != (LONG32)0xE1000104u) return 8;
  if (t->open_path(port, "", NULL) != (LONG32)0xE1000001u) return 9;
  if (t->open_desc(port, &desc, "ir") != 0 || t->getstate(port) != 1) return 10;
  if (!t->islineon(port)) return 11;
  if (t->open_path(port, path, NULL) != (LONG32)0xE1000101u) return 12;
  if (t->settimeout(port, 300, 50) != 0) return 13;
  if (t->gettimeout(port, &first, &second) != 0 || first != 300 || second != 50) return 14;
  if (t->devicecontrol(port, "porttype", reply, sizeof(reply)) != 0) return 15;
  if (strcmp(reply, "usbtower") != 0) return 16;
  if (t->settxmode(port, 3, NULL) != (LONG32)0xE1000001u) return 17;
  if (t->gettxmode(port, &mode, &callback) != 0 || mode != 1 || callback != NULL) return 18;
  if (t->setrxmode(port, 2, NULL) != (LONG32)0xE1000001u) return 19;
  if (t->getrxmode(port, &mode, NULL) != 0 || mode != 1) return 20;
  if (t->clear(port, 3) != 0) return 21;
  if (t->abort(port, 4) != (LONG32)0xE1000001u) return 22;
  if (t->send(port, data, 3, &count, NULL) != 0 || count != 3) return 23;
  if (t->recv(port, back, 3, &count, NULL) != 0 || count != 3) return 24;
  if (memcmp(data, back, 3) != 0) return 25;
  if (t->close(port) != 0 || t->getstate(port) != 0) return 26;
  return 0;
}
