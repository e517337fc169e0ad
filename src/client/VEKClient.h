/*
 * VEKClient: client library of the VEKserver protocol.
 *
 * Every public function returns 0 on success and 1 on failure and leaves a
 * result code (VEK_RESULT_*) that VEKClientGetLastError() reads back, unless
 * its comment says otherwise. Lists and arrays handed out are owned by the
 * caller and released with VEKClientFreeStringArray / VEKClientFreePointer.
 */
#ifndef VEKCLIENT_H
#define VEKCLIENT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int64_t vek_long;

#define VEK_PROTOCOL_VERSION 1300030

enum VEK_RESULT {
  VEK_RESULT_OK = 0,
  VEK_RESULT_USAGE = 1,
  VEK_RESULT_COMMUNICATION = 2,
  VEK_RESULT_ANSWER = 3,
  VEK_RESULT_MEMORY = 4
};

typedef enum {
  VEK_FILE_TYPE_ANY = -1,
  VEK_FILE_TYPE_POINTS = 0,
  VEK_FILE_TYPE_GRAVITY_LINES = 1,
  VEK_FILE_TYPE_CORE_LINES = 2,
  VEK_FILE_TYPE_GRID = 3,
  VEK_FILE_TYPE_INVALID = 4
} VEK_FILE_TYPE;

typedef enum {
  VEK_VAR_TYPE_SELECTION = -3,
  VEK_VAR_TYPE_FLOAT_ALL = -2,
  VEK_VAR_TYPE_ANY = -1,
  VEK_VAR_TYPE_FLOAT = 0,
  VEK_VAR_TYPE_CHAR = 1,
  VEK_VAR_TYPE_XG = 2,
  VEK_VAR_TYPE_YG = 3,
  VEK_VAR_TYPE_ZG = 4,
  VEK_VAR_TYPE_MACRO = 5,
  VEK_VAR_TYPE_INVALID = 6
} VEK_VAR_TYPE;

typedef enum {
  VEK_FORMAT_TYPE_DECIMAL = 0,
  VEK_FORMAT_TYPE_INTEGER = 1,
  VEK_FORMAT_TYPE_EXPONENT = 2,
  VEK_FORMAT_TYPE_FREE = 3,
  VEK_FORMAT_TYPE_SHIFTED = 4,
  VEK_FORMAT_TYPE_INVALID = 5
} VEK_FORMAT_TYPE;

typedef struct {
  int faults_2d;
  int aux_var_used;
  int faults_number;
  int segments_number;
  int min_fpriority;
  int max_fpriority;
  int auth_priority;
} VEKFaultInfo;

typedef struct {
  VEK_FILE_TYPE type;
  char linked_file[50];
  int faulted;
  int polygon_file;
  int dimension;
  vek_long s_number;
  int item_number;
  double X0, Y0, Z0;
  double DX, DY, DZ;
  int NX, NY, NZ;
  int rotation;
  double angle_z, angle_y, angle_x;
  char sn_var_name[50];
  char ln_var_name[50];
  char lname_var_name[50];
  char rn_var_name[50];
  char xg_var_name[50];
  char yg_var_name[50];
  char zg_var_name[50];
  char xb_var_name[50];
  char yb_var_name[50];
  char zb_var_name[50];
  char xe_var_name[50];
  char ye_var_name[50];
  char ze_var_name[50];
  VEKFaultInfo fault_info;
} VEKFileInfo;

typedef struct {
  VEK_VAR_TYPE type;
  int bit_length;
  int alpha_length;
  int implicit;
  int i_number;
  char unit[11];
  char unit_symbol[11];
  int length_var;
} VEKVariableInfo;

/* Diagnostics */
extern void (*VEK_ERROR_FUNCTION)(const char *text);
void VEKClientDebug(int mode);
int VEKClientGetLastError(void);

/* Session */
int VEKClientInitialize(int version);
int VEKClientConnect(const char *host, unsigned short port, const char *data_path);
int VEKClientDisconnect(void);
int VEKClientIsConnected(void);
int VEKClientGetServerVersion(void);
unsigned short VEKClientGetDefaultPort(void);
int VEKClientServerHasFeature(int feature, int verbose);

/* Server location and launch */
void VEKClientSetVEKserverPath(const char *path);
int VEKClientLocateVEKserver(char *path);
int VEKClientRunVEKserver(unsigned short *port);

/* Target selection and catalogue */
int VEKClientGetStudyList(int *count, char ***names);
int VEKClientGetDirectoryList(int *count, char ***names);
int VEKClientGetFileList(int *count, char ***names);
int VEKClientGetFileListByType(int type, int criterion, int *count, char ***names);
int VEKClientGetVariableList(int *count, char ***names);
int VEKClientGetVariableListByType(int var_type, int *count, char ***names);
int VEKClientDirectoryExists(const char *name, int *exists);
int VEKClientFileExists(const char *name, int *exists);
int VEKClientVariableExists(const char *name, int *exists);
int VEKClientSetStudy(const char *name);
int VEKClientSetDirectory(const char *name);
int VEKClientSetFile(const char *name);
int VEKClientSetVariable(const char *name);
int VEKClientSetSelection(const char *name);
int VEKClientSetIndice(int index);
int VEKClientSetAlphaIndice(const char *alpha);
char **VEKClientFreeStringArray(int count, char **array);
void *VEKClientFreePointer(void *p);

/* Units */
int VEKClientSetUnitMode(int mode);
int VEKClientSetUnit(const char *unit);
int VEKClientSetCreationUnits(const char *unit1, const char *unit2, const char *unit3);
int VEKClientSetVariableUnit(const char *factor, const char *second_unit);
double VEKClientUnitFactorFromSymbol(const char *symbol);
const char *VEKClientUnitSymbolFromFactor(double factor);

/* Descriptions */
int VEKClientGetFileInfo(VEKFileInfo *info);
int VEKClientGetVariableInfo(VEKVariableInfo *info);
int VEKClientGetMacroIndices(int *count, int **indices);
int VEKClientGetMacroIndicesWithAlpha(int *count, int **indices, char ***alpha);

/* Creating, modifying and deleting items */
int VEKClientDeleteVariable(void);
int VEKClientDeleteFile(void);
int VEKClientDeleteDirectory(void);
int VEKClientDeleteStudy(void);
int VEKClientGridModifyRotation(double angle_z, double angle_y, double angle_x);
int VEKClientGridModifyMesh(double dx, double dy, double dz);
int VEKClientGridModifyOrigin(double x0, double y0, double z0);
int VEKClientNewStudy(const char *study_name, const char *physical_name);
int VEKClientNewDirectory(const char *name);
int VEKClientNewGridFile(const char *name, int dimension, double X0, double Y0, double Z0, double DX, double DY,
                         double DZ, int NX, int NY, int NZ);
int VEKClientNewPointsFile(const char *name, vek_long count, const double *x, const double *y, const double *z);
int VEKClientPointsFileAppend(vek_long count, const double *x, const double *y, const double *z);
int VEKClientNewDoubleVariable(const char *name, int nbits, int format, int ncar, int ndig, const char *unit);

/* Variable data transfer */
int VEKClientReadDoubleVariable(int transfer_flag, double *test_val, vek_long *count, double **data);
int VEKClientReadDoubleVariableSub(vek_long first, vek_long last, int transfer_flag, double *test_val, vek_long *count,
                                   double **data);
/* The two line functions return the result code itself. */
int VEKClientReadLineDoubleVariable(int line, double *test_val, int *count, double **data);
int VEKClientWriteDoubleVariable(int transfer_flag, double test_val, vek_long count, const double *data);
int VEKClientWriteDoubleVariableSub(vek_long first, vek_long last, int transfer_flag, double test_val, vek_long count,
                                    const double *data);
int VEKClientWriteLineDoubleVariable(int line, double test_val, int count, const double *data);

#ifdef __cplusplus
}
#endif

#endif /* VEKCLIENT_H */
