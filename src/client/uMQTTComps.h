#pragma once
// The MQTT client session unit: the client component, its stores and the
// topic-matching routines.

#include "MQTTStores.h"
#include "TMQTTClient.h"
#include "TopicMatch.h"
