#ifndef ZENTRIK_EXPORT_H_
#define ZENTRIK_EXPORT_H_

// Marks the entry points that leave libzentrik.so; everything else is hidden.
#define ZENTRIK_EXPORT __attribute__((visibility("default")))

#endif  // ZENTRIK_EXPORT_H_
