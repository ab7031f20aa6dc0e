// The tracking heap: every live block is listed with the source file and line that asked for it,
// a 16-byte guard behind each block is checked on release, and a full table is reported in
// "heap_dump.txt".
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int HEAP_TABLE_SIZE = 1000;
constexpr int HEAP_NAME_SIZE = 16;
constexpr uint32_t HEAP_GUARD_SIZE = 16;
constexpr uint32_t HEAP_GUARD_WORD = 0xEFBEADDEu; // the bytes DE AD BE EF

struct HeapObject {
    char file[HEAP_NAME_SIZE]; // from the last path separator on, not terminated when full
    int32_t line;
    uint32_t size;
    void* block; // null marks a free entry
};

// Announces the allocation that follows on the same thread: takes the heap lock and stamps it
// with the caller's file and line.
#define PRE_ALLOC() Heap_PreAlloc(__FILE__, static_cast<uint32_t>(__LINE__))

void Heap_PreAlloc(const char* path, uint32_t line);
// Returns the block, or null after "too much heap objects" (reported once until the table has
// room again) or "out of heap"; gives the lock back.
void* Heap_Alloc(uint32_t size);
int Heap_Free(void* block);
void Heap_Init();
// Lists every live block on the console, as [ORMA_CONSOLE] Output says, and in "heap_dump.txt".
void Heap_Dump();

// Where blocks come from (the general-purpose allocator); tests make it fail. Null restores it.
using HeapSystemAlloc = void* (*)(size_t size);
void heap_set_system_alloc(HeapSystemAlloc alloc);

// Read access for tests and diagnostics.
uint32_t Heap_TotalSize();
uint32_t Heap_MaxRequested();
int Heap_LiveCount();
const HeapObject* Heap_Table();
