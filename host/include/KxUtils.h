// Everything of libKxUtils.so.
#pragma once
#include "CKxLibrary.h"
#include "HBError.h"
#include "HBPath.h"
#include "HBString.h"
#include "LogWriter.h"
