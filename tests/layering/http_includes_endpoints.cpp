// Must not build: the http layer is below endpoints, so its include roots do not reach this.
#include "endpoints/endpoints.h"
