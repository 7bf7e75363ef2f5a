// libnetcdf loaded when a netCDF grid is first written or read, rather than at the
// start of every run: with the some forty libraries it brings, loading it takes
// several milliseconds, most of the serial start of a short run. The functions the
// programs call are defined here with the library's own declarations (netcdf.h) and
// forward to its definitions, found by name in the library opened on the first call;
// when it cannot be opened each returns NC_ENOTBUILT, and nc_strerror says why.
#include <dlfcn.h>
#include <netcdf.h>

#include <string>

namespace {

struct Library {
  void* handle = nullptr;
  std::string failure;
};

const Library& library() {
  static const Library lib = [] {
    Library l;
    l.handle = ::dlopen(KELV_NETCDF_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (!l.handle) {
      const char* why = ::dlerror();
      l.failure = std::string(KELV_NETCDF_SONAME) + " cannot be loaded" +
                  (why ? std::string(": ") + why : std::string());
    }
    return l;
  }();
  return lib;
}

template <class F>
F function(const char* name) {
  const Library& l = library();
  return l.handle ? reinterpret_cast<F>(::dlsym(l.handle, name)) : nullptr;
}

}  // namespace

const char* nc_strerror(int ncerr) {
  const Library& l = library();
  if (!l.handle) return l.failure.c_str();
  static const auto target = function<decltype(&nc_strerror)>("nc_strerror");
  return target ? target(ncerr) : "unknown netCDF error";
}

int nc_close(int ncid) {
  static const auto target = function<decltype(&nc_close)>("nc_close");
  return target ? target(ncid) : NC_ENOTBUILT;
}

int nc_create(const char* path, int cmode, int* ncidp) {
  static const auto target = function<decltype(&nc_create)>("nc_create");
  return target ? target(path, cmode, ncidp) : NC_ENOTBUILT;
}

int nc_def_dim(int ncid, const char* name, size_t len, int* idp) {
  static const auto target = function<decltype(&nc_def_dim)>("nc_def_dim");
  return target ? target(ncid, name, len, idp) : NC_ENOTBUILT;
}

int nc_def_var(int ncid, const char* name, nc_type xtype, int ndims, const int* dimidsp,
               int* varidp) {
  static const auto target = function<decltype(&nc_def_var)>("nc_def_var");
  return target ? target(ncid, name, xtype, ndims, dimidsp, varidp) : NC_ENOTBUILT;
}

int nc_def_var_chunking(int ncid, int varid, int storage, const size_t* chunksizesp) {
  static const auto target = function<decltype(&nc_def_var_chunking)>("nc_def_var_chunking");
  return target ? target(ncid, varid, storage, chunksizesp) : NC_ENOTBUILT;
}

int nc_enddef(int ncid) {
  static const auto target = function<decltype(&nc_enddef)>("nc_enddef");
  return target ? target(ncid) : NC_ENOTBUILT;
}

int nc_free_string(size_t len, char** data) {
  static const auto target = function<decltype(&nc_free_string)>("nc_free_string");
  return target ? target(len, data) : NC_ENOTBUILT;
}

int nc_get_att_double(int ncid, int varid, const char* name, double* ip) {
  static const auto target = function<decltype(&nc_get_att_double)>("nc_get_att_double");
  return target ? target(ncid, varid, name, ip) : NC_ENOTBUILT;
}

int nc_get_att_text(int ncid, int varid, const char* name, char* ip) {
  static const auto target = function<decltype(&nc_get_att_text)>("nc_get_att_text");
  return target ? target(ncid, varid, name, ip) : NC_ENOTBUILT;
}

int nc_get_var_double(int ncid, int varid, double* ip) {
  static const auto target = function<decltype(&nc_get_var_double)>("nc_get_var_double");
  return target ? target(ncid, varid, ip) : NC_ENOTBUILT;
}

int nc_get_var_float(int ncid, int varid, float* ip) {
  static const auto target = function<decltype(&nc_get_var_float)>("nc_get_var_float");
  return target ? target(ncid, varid, ip) : NC_ENOTBUILT;
}

int nc_get_var_string(int ncid, int varid, char** ip) {
  static const auto target = function<decltype(&nc_get_var_string)>("nc_get_var_string");
  return target ? target(ncid, varid, ip) : NC_ENOTBUILT;
}

int nc_inq_att(int ncid, int varid, const char* name, nc_type* xtypep, size_t* lenp) {
  static const auto target = function<decltype(&nc_inq_att)>("nc_inq_att");
  return target ? target(ncid, varid, name, xtypep, lenp) : NC_ENOTBUILT;
}

int nc_inq_attlen(int ncid, int varid, const char* name, size_t* lenp) {
  static const auto target = function<decltype(&nc_inq_attlen)>("nc_inq_attlen");
  return target ? target(ncid, varid, name, lenp) : NC_ENOTBUILT;
}

int nc_inq_dimlen(int ncid, int dimid, size_t* lenp) {
  static const auto target = function<decltype(&nc_inq_dimlen)>("nc_inq_dimlen");
  return target ? target(ncid, dimid, lenp) : NC_ENOTBUILT;
}

int nc_inq_vardimid(int ncid, int varid, int* dimidsp) {
  static const auto target = function<decltype(&nc_inq_vardimid)>("nc_inq_vardimid");
  return target ? target(ncid, varid, dimidsp) : NC_ENOTBUILT;
}

int nc_inq_varid(int ncid, const char* name, int* varidp) {
  static const auto target = function<decltype(&nc_inq_varid)>("nc_inq_varid");
  return target ? target(ncid, name, varidp) : NC_ENOTBUILT;
}

int nc_inq_varndims(int ncid, int varid, int* ndimsp) {
  static const auto target = function<decltype(&nc_inq_varndims)>("nc_inq_varndims");
  return target ? target(ncid, varid, ndimsp) : NC_ENOTBUILT;
}

int nc_open(const char* path, int mode, int* ncidp) {
  static const auto target = function<decltype(&nc_open)>("nc_open");
  return target ? target(path, mode, ncidp) : NC_ENOTBUILT;
}

int nc_put_att_double(int ncid, int varid, const char* name, nc_type xtype, size_t len,
                      const double* op) {
  static const auto target = function<decltype(&nc_put_att_double)>("nc_put_att_double");
  return target ? target(ncid, varid, name, xtype, len, op) : NC_ENOTBUILT;
}

int nc_put_att_float(int ncid, int varid, const char* name, nc_type xtype, size_t len,
                     const float* op) {
  static const auto target = function<decltype(&nc_put_att_float)>("nc_put_att_float");
  return target ? target(ncid, varid, name, xtype, len, op) : NC_ENOTBUILT;
}

int nc_put_att_int(int ncid, int varid, const char* name, nc_type xtype, size_t len,
                   const int* op) {
  static const auto target = function<decltype(&nc_put_att_int)>("nc_put_att_int");
  return target ? target(ncid, varid, name, xtype, len, op) : NC_ENOTBUILT;
}

int nc_put_att_text(int ncid, int varid, const char* name, size_t len, const char* op) {
  static const auto target = function<decltype(&nc_put_att_text)>("nc_put_att_text");
  return target ? target(ncid, varid, name, len, op) : NC_ENOTBUILT;
}

int nc_put_var_double(int ncid, int varid, const double* op) {
  static const auto target = function<decltype(&nc_put_var_double)>("nc_put_var_double");
  return target ? target(ncid, varid, op) : NC_ENOTBUILT;
}

int nc_put_var_float(int ncid, int varid, const float* op) {
  static const auto target = function<decltype(&nc_put_var_float)>("nc_put_var_float");
  return target ? target(ncid, varid, op) : NC_ENOTBUILT;
}

int nc_put_var_int(int ncid, int varid, const int* op) {
  static const auto target = function<decltype(&nc_put_var_int)>("nc_put_var_int");
  return target ? target(ncid, varid, op) : NC_ENOTBUILT;
}

int nc_put_var_string(int ncid, int varid, const char** op) {
  static const auto target = function<decltype(&nc_put_var_string)>("nc_put_var_string");
  return target ? target(ncid, varid, op) : NC_ENOTBUILT;
}

int nc_put_vara_float(int ncid, int varid, const size_t* startp, const size_t* countp,
                      const float* op) {
  static const auto target = function<decltype(&nc_put_vara_float)>("nc_put_vara_float");
  return target ? target(ncid, varid, startp, countp, op) : NC_ENOTBUILT;
}

int nc_redef(int ncid) {
  static const auto target = function<decltype(&nc_redef)>("nc_redef");
  return target ? target(ncid) : NC_ENOTBUILT;
}
