// Export marker for the host utility libraries. Everything else stays hidden.
#pragma once
#define KX_API __attribute__((visibility("default")))
