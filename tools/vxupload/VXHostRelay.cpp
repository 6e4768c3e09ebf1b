#include "VXHostRelay.h"

VXHostRelay::VXHostRelay(QObject* parent) : QObject(parent) {}
