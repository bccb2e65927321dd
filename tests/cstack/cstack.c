/* Stackful coroutines for the tests, as a coroutine library that runs Python on stacks of its own makes them:
   each coroutine runs a Python callable on a makecontext stack (an mmap'ed block with an inaccessible guard
   page at its low end) under a thread state of its own, and may suspend from inside any call, native calls
   included. Built by tests/cstack_build.py; one OS thread drives its coroutines. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

typedef struct Coroutine {
  PyObject_HEAD
  PyObject *func;
  PyThreadState *tstate;
  ucontext_t context;
  ucontext_t resumer;
  char *block; /* guard page, then the stack */
  size_t block_size;
  int fixed;    /* the block lies in a region from reserve(): unmapped with it, not here */
  int started;
  int finished;
  PyObject *transfer; /* the value that suspend() or the callable's return hands over */
  PyObject *exc_type, *exc_value, *exc_tb;
  struct Coroutine *outer; /* the coroutine that was running when this one was resumed */
} Coroutine;

static Coroutine *running = NULL;
static Coroutine *starting = NULL;

static size_t page_size(void) { return (size_t)sysconf(_SC_PAGESIZE); }

static void coroutine_main(void) {
  Coroutine *co = starting;
  PyObject *result = PyObject_CallObject(co->func, NULL);
  if (result == NULL) PyErr_Fetch(&co->exc_type, &co->exc_value, &co->exc_tb);
  co->transfer = result;
  co->finished = 1;
  swapcontext(&co->context, &co->resumer);
  abort(); /* a finished coroutine is never resumed */
}

static PyObject *coroutine_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
  static char *names[] = {"func", "size", "at", NULL};
  PyObject *func;
  Py_ssize_t size;
  unsigned long long at = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "On|K", names, &func, &size, &at)) return NULL;
  const size_t page = page_size();
  if (size <= 0 || (size_t)size % page != 0) {
    PyErr_SetString(PyExc_ValueError, "size must be a positive multiple of the page size");
    return NULL;
  }
  Coroutine *co = (Coroutine *)type->tp_alloc(type, 0);
  if (co == NULL) return NULL;
  co->block_size = (size_t)size + page;
  co->fixed = at != 0;
  void *block = mmap(at ? (void *)(uintptr_t)at : NULL, co->block_size, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | (at ? MAP_FIXED : 0), -1, 0);
  if (block == MAP_FAILED || mprotect(block, page, PROT_NONE) != 0) {
    Py_DECREF(co);
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  co->block = (char *)block;
  co->tstate = PyThreadState_New(PyThreadState_Get()->interp);
  if (co->tstate == NULL) {
    Py_DECREF(co);
    return PyErr_NoMemory();
  }
  Py_INCREF(func);
  co->func = func;
  if (getcontext(&co->context) != 0) {
    Py_DECREF(co);
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  co->context.uc_stack.ss_sp = co->block + page;
  co->context.uc_stack.ss_size = (size_t)size;
  co->context.uc_link = NULL;
  makecontext(&co->context, coroutine_main, 0);
  return (PyObject *)co;
}

static void coroutine_dealloc(Coroutine *co) {
  /* A suspended coroutine's stack and thread state still hold live frames: both are left as they are. */
  if (co->finished || !co->started) {
    if (co->tstate != NULL) {
      PyThreadState_Clear(co->tstate);
      PyThreadState_Delete(co->tstate);
    }
    if (co->block != NULL && !co->fixed) munmap(co->block, co->block_size);
  }
  Py_XDECREF(co->func);
  Py_XDECREF(co->transfer);
  Py_XDECREF(co->exc_type);
  Py_XDECREF(co->exc_value);
  Py_XDECREF(co->exc_tb);
  PyTypeObject *type = Py_TYPE(co);
  type->tp_free((PyObject *)co);
  Py_DECREF(type); /* a heap type: each instance holds a reference to it */
}

/* Runs the coroutine until it suspends or returns; gives what it handed over, or raises what it raised. */
static PyObject *coroutine_resume(Coroutine *co, PyObject *value) {
  if (co->finished) {
    PyErr_SetString(PyExc_RuntimeError, "the coroutine has finished");
    return NULL;
  }
  for (Coroutine *c = running; c != NULL; c = c->outer) {
    if (c == co) {
      PyErr_SetString(PyExc_RuntimeError, "the coroutine is running");
      return NULL;
    }
  }
  Py_INCREF(value);
  Py_XSETREF(co->transfer, value);
  co->outer = running;
  running = co;
  if (!co->started) {
    co->started = 1;
    starting = co;
  }
  PyThreadState *saved = PyThreadState_Swap(co->tstate);
  swapcontext(&co->resumer, &co->context);
  PyThreadState_Swap(saved);
  running = co->outer;
  co->outer = NULL;
  if (co->exc_type != NULL) {
    PyErr_Restore(co->exc_type, co->exc_value, co->exc_tb);
    co->exc_type = co->exc_value = co->exc_tb = NULL;
    return NULL;
  }
  PyObject *result = co->transfer;
  co->transfer = NULL;
  if (result == NULL) Py_RETURN_NONE;
  return result;
}

static PyObject *coroutine_get_finished(Coroutine *co, void *closure) {
  (void)closure;
  return PyBool_FromLong(co->finished);
}

/* The stack's highest address: where the coroutine's first frame starts. */
static PyObject *coroutine_get_top(Coroutine *co, void *closure) {
  (void)closure;
  return PyLong_FromUnsignedLongLong((uintptr_t)(co->block + co->block_size));
}

static PyMethodDef coroutine_methods[] = {
    {"resume", (PyCFunction)coroutine_resume, METH_O, "resume(value): run until the next suspend() or the end"},
    {NULL, NULL, 0, NULL}};

static PyGetSetDef coroutine_getset[] = {{"finished", (getter)coroutine_get_finished, NULL, NULL, NULL},
                                         {"top", (getter)coroutine_get_top, NULL, NULL, NULL},
                                         {NULL, NULL, NULL, NULL, NULL}};

static PyType_Slot coroutine_slots[] = {{Py_tp_new, (void *)coroutine_new},
                                        {Py_tp_dealloc, (void *)coroutine_dealloc},
                                        {Py_tp_methods, coroutine_methods},
                                        {Py_tp_getset, coroutine_getset},
                                        {0, NULL}};

static PyType_Spec coroutine_spec = {"cstack.Coroutine", sizeof(Coroutine), 0, Py_TPFLAGS_DEFAULT, coroutine_slots};

/* Hands `value` to the resumer and returns what the next resume() passes in. */
static PyObject *suspend(PyObject *module, PyObject *value) {
  (void)module;
  Coroutine *co = running;
  if (co == NULL) {
    PyErr_SetString(PyExc_RuntimeError, "no coroutine is running");
    return NULL;
  }
  Py_INCREF(value);
  Py_XSETREF(co->transfer, value);
  swapcontext(&co->context, &co->resumer);
  PyObject *result = co->transfer;
  co->transfer = NULL;
  if (result == NULL) Py_RETURN_NONE;
  return result;
}

/* An inaccessible region of `size` bytes, in which Coroutine(..., at=address) places stacks; never freed. */
static PyObject *reserve(PyObject *module, PyObject *arg) {
  (void)module;
  Py_ssize_t size = PyLong_AsSsize_t(arg);
  if (size == -1 && PyErr_Occurred()) return NULL;
  void *region = mmap(NULL, (size_t)size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (region == MAP_FAILED) return PyErr_SetFromErrno(PyExc_OSError);
  return PyLong_FromUnsignedLongLong((uintptr_t)region);
}

/* The caller's stack pointer, near enough: the address of a local of this function. */
static PyObject *stack_pointer(PyObject *module, PyObject *unused) {
  (void)module;
  (void)unused;
  volatile char here = 0;
  return PyLong_FromUnsignedLongLong((uintptr_t)&here);
}

static PyMethodDef module_methods[] = {
    {"suspend", suspend, METH_O, "suspend(value): hand value to the resumer; returns the next resume's value"},
    {"reserve", reserve, METH_O, "reserve(size): an inaccessible region for stacks; its address"},
    {"stack_pointer", stack_pointer, METH_NOARGS, "the caller's stack pointer"},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "cstack", NULL, -1, module_methods,
                                        NULL,                  NULL,     NULL, NULL};

PyMODINIT_FUNC PyInit_cstack(void) {
  PyObject *module = PyModule_Create(&module_def);
  if (module == NULL) return NULL;
  PyObject *type = PyType_FromSpec(&coroutine_spec);
  if (type == NULL || PyModule_AddObject(module, "Coroutine", type) < 0) {
    Py_XDECREF(type);
    Py_DECREF(module);
    return NULL;
  }
  return module;
}
