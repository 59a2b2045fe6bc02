// Everything of libZqLib.so.
#pragma once
#include "ZqProcess.h"
