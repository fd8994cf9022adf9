// Everything a model includes: the model interface (Model: Agent<T>, Event<T>, Create,
// Release), the run (World, its configuration), agents
// (Execution_Component_Manager: Quarnel_Component, Allocate<T>, Free<T>), events
// (Event_Component_Manager), randomness and identities for runs that do not depend on the
// number of workers (Counter_Random, Object_Identity, Run_Fingerprint), per-worker counts
// (Per_Worker), measures computed in the step (Measures, Exact_Sum), and the version. The
// headers of quarnel/detail/ are the engine's own: a model never includes them.
#pragma once

#include <quarnel/Counter_Random.h>
#include <quarnel/Event_Component_Manager.h>
#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/Exact_Sum.h>
#include <quarnel/Live_Objects.h>
#include <quarnel/Measures.h>
#include <quarnel/Model.h>
#include <quarnel/Object_Identity.h>
#include <quarnel/Per_Worker.h>
#include <quarnel/Run_Fingerprint.h>
#include <quarnel/Simulation_Control.h>
#include <quarnel/Version.h>
#include <quarnel/World.h>
