// How each component travels as an item of the update client: its class, its item identifier on
// each platform, and whether the client is told the result "0.0" before it answers. The item list
// builds its array from this table and the version recorder reads the answers back through it.
#pragma once

#include "OrvelKF/QxUpdateCatalogue.h"
#include "OrvelKF/QxUpdateClient.h"

// The platforms the update client knows items for; any other "Platform" setting counts as Linux
// for the platform code but has no engine items.
enum KFItemPlatform { KF_PLATFORM_SOL = 0, KF_PLATFORM_LINUX = 1, KF_PLATFORM_WIN32 = 2 };
constexpr int kfItemPlatformCount = 3;

struct KFItemKind {
  unsigned uiClass;
  unsigned uiItemId[kfItemPlatformCount];  // by KFItemPlatform
  bool perPlatform;                        // the identifier depends on the platform
  bool resultPrefilled;                    // stResult starts as the version of "0.0"
};

inline constexpr KFItemKind kfItemKinds[kfComponentCount] = {
    {QXU_CLASS_VERSIONED, {0x10000, 0x20000, 4}, true, false},                  // 0
    {QXU_CLASS_NUMBERED, {4, 4, 4}, false, false},                              // 1
    {QXU_CLASS_NUMBERED, {0x20000400, 0x20000400, 0x20000400}, false, false},   // 2
    {QXU_CLASS_NUMBERED, {0x20000040, 0x20000040, 0x20000040}, false, false},   // 3
    {QXU_CLASS_NUMBERED, {0x20000020, 0x20000020, 0x20000020}, false, false},   // 4
    {QXU_CLASS_VERSIONED, {0x8000000, 0x10000001, 0x22800000}, true, true},     // 5
    {QXU_CLASS_NUMBERED, {0x10001, 0x10001, 0x10001}, false, false},            // 6
    {QXU_CLASS_NUMBERED, {0x4000001, 0x4000001, 0x4000001}, false, false},      // 7
    {QXU_CLASS_VERSIONED, {0x18000000, 0x20000000, 0x14000000}, true, true},    // 8
    {QXU_CLASS_VERSIONED, {0x48000125, 0x48000125, 0x48000125}, false, false},  // 9
    {QXU_CLASS_NUMBERED, {0x48020000, 0x48020000, 0x48020000}, false, false},   // 10
};

// The component an item of that class and identifier stands for on any platform; -1 when none.
inline int kfTypeOfItem(unsigned itemClass, unsigned itemId) {
  for (int type = 0; type < kfComponentCount; ++type) {
    const KFItemKind& kind = kfItemKinds[type];
    if (kind.uiClass != itemClass) continue;
    for (unsigned id : kind.uiItemId)
      if (id == itemId) return type;
  }
  return -1;
}
