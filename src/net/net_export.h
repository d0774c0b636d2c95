#pragma once
// The message channel's classes are exported by name from the setup program. A program
// that uses them through the setup program's import library defines KELO_NET_IMPORT.
#ifdef _WIN32
#ifdef KELO_NET_IMPORT
#define KELO_NET_API __declspec(dllimport)
#else
#define KELO_NET_API __declspec(dllexport)
#endif
#else
#define KELO_NET_API __attribute__((visibility("default")))
#endif
