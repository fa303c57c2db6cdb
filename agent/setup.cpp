#include "agent.h"
