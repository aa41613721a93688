/* The port's table of 21 operations as a caller compiled apart from the
   class sees it, in C: the object's first word points at it, and only the
   order of the slots and their member calling convention (thiscall on 32-bit
   Windows) bind the two sides. */
#ifndef TOWER_TESTS_PORT_TABLE_H
#define TOWER_TESTS_PORT_TABLE_H

#include <stdint.h>

#if defined(_WIN32) && defined(__i386__)
#define MEMBER __attribute__((thiscall))
#else
#define MEMBER
#endif

typedef int32_t LONG32;
typedef uint32_t ULONG32;
#ifdef __cplusplus
typedef bool PORT_BOOL;
#else
typedef _Bool PORT_BOOL;
#endif

typedef struct {
  ULONG32(MEMBER* addref)(void* self);
  ULONG32(MEMBER* release)(void* self);
  LONG32(MEMBER* open_desc)(void* self, const void* descriptor, const char* mode);
  LONG32(MEMBER* open_path)(void* self, const char* path, const char* mode);
  LONG32(MEMBER* close)(void* self);
  LONG32(MEMBER* send)
  (void* self, const unsigned char* data, ULONG32 length, ULONG32* sent, void* context);
  LONG32(MEMBER* recv)
  (void* self, unsigned char* buffer, ULONG32 length, ULONG32* received, void* context);
  LONG32(MEMBER* settimeout)(void* self, ULONG32 first, ULONG32 second);
  LONG32(MEMBER* gettimeout)(void* self, ULONG32* first, ULONG32* second);
  LONG32(MEMBER* devicecontrol)(void* self, const char* command, char* reply, int size);
  LONG32(MEMBER* findfirst)(void* self, void* descriptor);
  LONG32(MEMBER* findnext)(void* self, void* previous, void* next);
  LONG32(MEMBER* settxmode)(void* self, ULONG32 mode, void* callback);
  LONG32(MEMBER* gettxmode)(void* self, ULONG32* mode, void** callback);
  LONG32(MEMBER* setrxmode)(void* self, ULONG32 mode, void* callback);
  LONG32(MEMBER* getrxmode)(void* self, ULONG32* mode, void** callback);
  PORT_BOOL(MEMBER* islineon)(void* self);
  LONG32(MEMBER* getthroughput)(void* self, ULONG32* throughput);
  ULONG32(MEMBER* getstate)(void* self);
  LONG32(MEMBER* clear)(void* self, ULONG32 sides);
  LONG32(MEMBER* abort)(void* self, ULONG32 sides);
} PortTable;

typedef struct {
  ULONG32 index;
  char path[260];
} PortDesc;

#endif
