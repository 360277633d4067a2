// Marks what kv830.so exports: the device, its provider and the data-device instance
// they are built on. The version script (kv830.map) decides the final list; this keeps
// the classes visible should the plug-in be compiled with hidden visibility.
#pragma once

#define KV830_API __attribute__((visibility("default")))
