#include "refhost/campaign/CampaignWriters.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/campaign/CampaignPage.h"
#include "refhost/cells/CellSites.h"
#include "refhost/output/IsoTime.h"
#include "refhost/output/OutputFile.h"

namespace fs = std::filesystem;
using nlohmann::json;

std::vector<TBinRow> BinRows(const TCampaignGrid& grid, int64_t minSamples) {
  std::vector<TBinRow> rows;
  for (const auto& [key, bin] : grid.Sorted()) {
    TBinRow row;
    row.X = key.X;
    row.Y = key.Y;
    row.Size = grid.BinMetres();
    row.West = key.X * row.Size;
    row.South = key.Y * row.Size;
    row.Samples = bin->Samples;
    row.Drives = bin->Drives;
    for (int64_t c : bin->Level) row.LevelSamples += c;
    for (int64_t c : bin->Quality) row.QualitySamples += c;
    if (row.LevelSamples) {
      row.LevelMedian = HistogramPercentile(bin->Level.data(), 64, 0.5) - 110;
      row.LevelP10 = HistogramPercentile(bin->Level.data(), 64, 0.1) - 110;
      row.LevelP90 = HistogramPercentile(bin->Level.data(), 64, 0.9) - 110;
    }
    if (row.QualitySamples) {
      row.QualityMedian = HistogramPercentile(bin->Quality.data(), 8, 0.5);
      int64_t good = 0;
      for (int q = 0; q <= 4; ++q) good += bin->Quality[q];
      row.QualityGoodShare = double(good) / double(row.QualitySamples);
    }
    if (const TGridCell* best = bin->BestCell()) {
      row.BestCell = GridCellName(*best);
      for (const auto& [cell, count] : bin->Cells)
        if (cell == *best) row.BestCellSamples = count;
    }
    row.CallSetups = bin->CallSetups;
    row.CallDrops = bin->CallDrops;
    row.HandoverFailures = bin->HandoverFailures;
    row.Sparse = row.Samples < minSamples;
    rows.push_back(std::move(row));
  }
  return rows;
}

namespace {

void Flatten(const std::string& prefix, const json& value, json& out) {
  if (value.is_object()) {
    for (const auto& [k, v] : value.items()) Flatten(prefix.empty() ? k : prefix + "_" + k, v, out);
  } else if (value.is_array()) {
    out[prefix] = value.dump();
  } else {
    out[prefix] = value;
  }
}

// The bin's values by the names every output uses.
json BinJson(const TBinRow& r) {
  json o;
  auto opt = [](const auto& v) { return v ? json(*v) : json(nullptr); };
  o["bin_x"] = r.X;
  o["bin_y"] = r.Y;
  o["samples"] = r.Samples;
  o["drives"] = r.Drives;
  o["level_samples"] = r.LevelSamples;
  o["level_median_dbm"] = opt(r.LevelMedian);
  o["level_p10_dbm"] = opt(r.LevelP10);
  o["level_p90_dbm"] = opt(r.LevelP90);
  o["quality_samples"] = r.QualitySamples;
  o["quality_median"] = opt(r.QualityMedian);
  o["quality_0_4_share"] = opt(r.QualityGoodShare);
  o["best_cell"] = r.BestCell;
  o["best_cell_samples"] = r.BestCellSamples;
  o["call_setups"] = r.CallSetups;
  o["call_drops"] = r.CallDrops;
  o["handover_failures"] = r.HandoverFailures;
  o["sparse"] = r.Sparse;
  return o;
}

// The bin's square in WGS 84, corners counter-clockwise from the south-west.
json BinRingWgs84(const TBinRow& r, const TUtmProjection& utm) {
  json ring = json::array();
  const double xs[] = {r.West, r.West + r.Size, r.West + r.Size, r.West, r.West};
  const double ys[] = {r.South, r.South, r.South + r.Size, r.South + r.Size, r.South};
  for (int i = 0; i < 5; ++i) {
    double lon = 0, lat = 0;
    utm.Inverse(xs[i], ys[i], lon, lat);
    ring.push_back({std::round(lon * 1e7) / 1e7, std::round(lat * 1e7) / 1e7});
  }
  return ring;
}

void WriteWhole(const std::string& path, const std::string& text) {
  TOutputFile out(path, TFlushPolicy::WhenFull, TOutputMode::Replace);
  out.Write(text);
  out.Commit();
}

// ---- GeoPackage through GDAL's OGR C API ----

class TGpkg {
 public:
  explicit TGpkg(std::string path) : Target(std::move(path)) {
    GDALAllRegister();
    CPLPushErrorHandler(CPLQuietErrorHandler);
    // A temporary file, synced once and renamed when whole: SQLite's own
    // journal and syncs would only slow it down.
    CPLSetThreadLocalConfigOption("OGR_SQLITE_SYNCHRONOUS", "OFF");
    CPLSetThreadLocalConfigOption("OGR_SQLITE_JOURNAL", "OFF");
    // 16 KiB pages: a samples row costs some 15 % less than with 4 KiB ones
    // (measured side by side; 32 and 64 KiB gained less).
    CPLSetThreadLocalConfigOption("OGR_SQLITE_PRAGMA", "page_size=16384");
    // The spatial indexes are built at the end, beside the last inserts; their
    // memory is bounded so it does not grow with the number of samples.
    CPLSetThreadLocalConfigOption("OGR_GPKG_MAX_RAM_USAGE_RTREE", "67108864");
    const fs::path target(Target);
    Temp = (target.parent_path() / ("." + target.filename().string() + ".tmp-" + std::to_string(getpid()))).string();
    std::error_code error;
    fs::remove(Temp, error);
    GDALDriverH driver = GDALGetDriverByName("GPKG");
    if (!driver) Fail("GDAL has no GeoPackage driver");
    Data = GDALCreate(driver, Temp.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    if (!Data) Fail("cannot create it");
  }
  ~TGpkg() {
    if (Data) GDALClose(Data);
    for (OGRSpatialReferenceH srs : Srs) OSRDestroySpatialReference(srs);
    if (!Committed) {
      std::error_code error;
      fs::remove(Temp, error);
    }
    CPLPopErrorHandler();
  }

  OGRSpatialReferenceH Crs(int epsg) {
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    Srs.push_back(srs);
    if (OSRImportFromEPSG(srs, epsg) != OGRERR_NONE) Fail("no CRS EPSG:" + std::to_string(epsg));
    OSRSetAxisMappingStrategy(srs, OAMS_TRADITIONAL_GIS_ORDER);
    return srs;
  }
  OGRLayerH Layer(const char* name, OGRSpatialReferenceH srs, OGRwkbGeometryType type,
                  const std::vector<std::pair<std::string, OGRFieldType>>& fields) {
    // The spatial index is built in one pass once the rows are in (Index()),
    // not row by row.
    const char* options[] = {"SPATIAL_INDEX=NO", nullptr};
    OGRLayerH layer = GDALDatasetCreateLayer(Data, name, srs, type, const_cast<char**>(options));
    if (!layer) Fail(std::string("cannot create the layer ") + name);
    if (type != wkbNone) Spatial.push_back(name);
    for (const auto& [field, kind] : fields) {
      OGRFieldDefnH defn = OGR_Fld_Create(field.c_str(), kind);
      const OGRErr e = OGR_L_CreateField(layer, defn, TRUE);
      OGR_Fld_Destroy(defn);
      if (e != OGRERR_NONE) Fail("cannot add the field " + field + " to " + name);
    }
    return layer;
  }
  void Begin() {
    if (GDALDatasetStartTransaction(Data, FALSE) != OGRERR_NONE) Fail("cannot start a transaction");
  }
  // The layer's table and its (empty) spatial index made now, as GDAL makes
  // them, for rows written past GDAL (TSamplesTable).
  void IndexNow(OGRLayerH layer) {
    const std::string name = OGR_L_GetName(layer);
    if (OGR_L_SyncToDisk(layer) != OGRERR_NONE) Fail("cannot create the layer " + name);
    Index(name);
    Spatial.erase(std::remove(Spatial.begin(), Spatial.end(), name), Spatial.end());
  }
  sqlite3* Sqlite() {
    auto* db = static_cast<sqlite3*>(GDALGetInternalHandle(Data, "SQLITE_HANDLE"));
    if (!db) Fail("GDAL gives no SQLite connection to it");
    return db;
  }
  void End() {
    if (GDALDatasetCommitTransaction(Data) != OGRERR_NONE) Fail("cannot commit");
    for (const std::string& layer : Spatial) Index(layer);
  }
  // Adds the feature and frees it.
  // Adds the feature, which stays the caller's.
  void Insert(OGRLayerH layer, OGRFeatureH feature) {
    if (OGR_L_CreateFeature(layer, feature) != OGRERR_NONE) Fail("cannot add a feature");
  }
  void Add(OGRLayerH layer, OGRFeatureH feature) {
    const OGRErr e = OGR_L_CreateFeature(layer, feature);
    OGR_F_Destroy(feature);
    if (e != OGRERR_NONE) Fail("cannot add a feature");
  }
  void Commit() {
    GDALDatasetH data = std::exchange(Data, nullptr);
    GDALClose(data);
    if (CPLGetLastErrorType() >= CE_Failure) Fail("cannot close it");
    const int fd = ::open(Temp.c_str(), O_RDONLY);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!synced) Fail("cannot sync it");
    std::error_code error;
    fs::rename(Temp, Target, error);
    if (error) Fail("cannot rename it into place: " + error.message());
    Committed = true;
  }
  void Index(const std::string& layer) {
    const std::string sql = "SELECT CreateSpatialIndex('" + layer + "', 'geom')";
    CPLErrorReset();
    if (OGRLayerH result = GDALDatasetExecuteSQL(Data, sql.c_str(), nullptr, nullptr))
      GDALDatasetReleaseResultSet(Data, result);
    if (CPLGetLastErrorType() >= CE_Failure) Fail("cannot index the layer " + layer);
  }
  [[noreturn]] void Fail(const std::string& what) const {
    std::string why = CPLGetLastErrorMsg();
    throw EOutputWrite("cannot write " + Target + ": " + what + (why.empty() ? "" : " (" + why + ")") +
                       "; check the folder and the free space, then run again");
  }

 private:
  std::string Target, Temp;
  GDALDatasetH Data = nullptr;
  std::vector<OGRSpatialReferenceH> Srs;
  std::vector<std::string> Spatial;  // layers with geometries
  bool Committed = false;
};

// GeoPackage date-times are UTC ("Z"); the local offset is applied first.
void SetTime(OGRFeatureH f, int field, TDays t, int32_t utcOffsetMinutes) {
  const TCivilTime c = SplitDays(t - utcOffsetMinutes / 1440.0);
  OGR_F_SetFieldDateTimeEx(f, field, c.Year, c.Month, c.Day, c.Hour, c.Minute,
                           float(c.Second + c.Millisecond / 1000.0), 100);
}

void SetCell(OGRFeatureH f, int first, const TGridCell& cell) {
  if (cell.Key.Valid) {
    OGR_F_SetFieldInteger(f, first, cell.Key.Mcc);
    OGR_F_SetFieldInteger(f, first + 1, cell.Key.Mnc);
    OGR_F_SetFieldInteger(f, first + 2, cell.Key.Lac);
    OGR_F_SetFieldInteger(f, first + 3, cell.Key.CellId);
  } else {
    for (int i = 0; i < 4; ++i) OGR_F_SetFieldNull(f, first + i);
  }
  if (cell.Arfcn)
    OGR_F_SetFieldInteger(f, first + 4, cell.Arfcn);
  else
    OGR_F_SetFieldNull(f, first + 4);
}

const std::vector<std::pair<std::string, OGRFieldType>> CellFields = {
    {"mcc", OFTInteger}, {"mnc", OFTInteger}, {"lac", OFTInteger}, {"ci", OFTInteger}, {"arfcn", OFTInteger}};

void WriteBinsLayer(TGpkg& g, const TCampaignResult& c, int64_t minSamples) {
  const json sample = BinJson(TBinRow{});
  std::vector<std::pair<std::string, OGRFieldType>> fields;
  for (const auto& [k, v] : sample.items())
    fields.emplace_back(k, k == "best_cell" ? OFTString : k == "quality_0_4_share" ? OFTReal : OFTInteger64);
  OGRLayerH layer = g.Layer("bins", g.Crs(c.Epsg ? c.Epsg : 4326), wkbPolygon, fields);
  OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
  for (const TBinRow& r : BinRows(c.Grid, minSamples)) {
    OGRFeatureH f = OGR_F_Create(defn);
    const json o = BinJson(r);
    int i = 0;
    for (const auto& [k, v] : o.items()) {
      if (v.is_null())
        OGR_F_SetFieldNull(f, i);
      else if (v.is_string())
        OGR_F_SetFieldString(f, i, v.get<std::string>().c_str());
      else if (v.is_number_float())
        OGR_F_SetFieldDouble(f, i, v.get<double>());
      else if (v.is_boolean())
        OGR_F_SetFieldInteger64(f, i, v.get<bool>());
      else
        OGR_F_SetFieldInteger64(f, i, v.get<int64_t>());
      ++i;
    }
    OGRGeometryH ring = OGR_G_CreateGeometry(wkbLinearRing);
    OGR_G_AddPoint_2D(ring, r.West, r.South);
    OGR_G_AddPoint_2D(ring, r.West + r.Size, r.South);
    OGR_G_AddPoint_2D(ring, r.West + r.Size, r.South + r.Size);
    OGR_G_AddPoint_2D(ring, r.West, r.South + r.Size);
    OGR_G_AddPoint_2D(ring, r.West, r.South);
    OGRGeometryH polygon = OGR_G_CreateGeometry(wkbPolygon);
    OGR_G_AddGeometryDirectly(polygon, ring);
    OGR_F_SetGeometryDirectly(f, polygon);
    g.Add(layer, f);
  }
}

OGRLayerH SamplesLayer(TGpkg& g, OGRSpatialReferenceH wgs84) {
  auto fields = std::vector<std::pair<std::string, OGRFieldType>>{
      {"drive", OFTString}, {"time", OFTDateTime}, {"cell", OFTString}};
  fields.insert(fields.end(), CellFields.begin(), CellFields.end());
  fields.insert(fields.end(), {{"level_dbm", OFTInteger}, {"quality", OFTInteger}, {"dedicated", OFTInteger}});
  return g.Layer("samples", wgs84, wkbPoint, fields);
}

// ---- the samples layer straight through SQLite ----
//
// Nearly all rows of the file are samples. Through OGR each costs a feature's
// field juggling, and GDAL's one-pass index build inserts every row into
// SQLite's R*-tree one at a time (some 6 us a row, more than the rest of the
// campaign). So GDAL makes the table and its empty index as for any layer,
// and the rows go in through prepared statements on GDAL's own connection,
// inside its transaction; the index is packed from the rows as they come.

void PutBig16(unsigned char* at, uint16_t v) {
  at[0] = uint8_t(v >> 8);
  at[1] = uint8_t(v);
}
void PutBig32(unsigned char* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = uint8_t(v >> (24 - 8 * i));
}
void PutBig64(unsigned char* at, uint64_t v) {
  for (int i = 0; i < 8; ++i) at[i] = uint8_t(v >> (56 - 8 * i));
}
void PutLittle32(unsigned char* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = uint8_t(v >> (8 * i));
}
void PutLittle64(unsigned char* at, uint64_t v) {
  for (int i = 0; i < 8; ++i) at[i] = uint8_t(v >> (8 * i));
}

// SQLite's R-tree keeps single floats: a box's low edge rounded down, its
// high edge up, so that no query misses the row; nudged as SQLite's own
// module does, so that the boxes are those it would have stored.
float FloatDown(double v) {
  const float f = float(v);
  return double(f) > v ? float(v * (v < 0 ? 1.0 + 1.0 / 8388608.0 : 1.0 - 1.0 / 8388608.0)) : f;
}
float FloatUp(double v) {
  const float f = float(v);
  return double(f) < v ? float(v * (v < 0 ? 1.0 - 1.0 / 8388608.0 : 1.0 + 1.0 / 8388608.0)) : f;
}

class TStatement {
 public:
  TStatement(TGpkg& g, sqlite3* db, const std::string& sql) : G(g) {
    if (sqlite3_prepare_v2(db, sql.c_str(), int(sql.size()), &Stmt, nullptr) != SQLITE_OK)
      G.Fail(std::string("cannot prepare a statement: ") + sqlite3_errmsg(db));
  }
  ~TStatement() { sqlite3_finalize(Stmt); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;
  sqlite3_stmt* operator*() const { return Stmt; }
  // Runs it with the values bound; they stay bound for the next run.
  void Run() {
    const int rc = sqlite3_step(Stmt);
    sqlite3_reset(Stmt);
    if (rc != SQLITE_DONE) G.Fail(std::string("cannot write a row: ") + sqlite3_errstr(rc));
  }

 private:
  TGpkg& G;
  sqlite3_stmt* Stmt = nullptr;
};

void Exec(TGpkg& g, sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string why = error ? error : "?";
    sqlite3_free(error);
    g.Fail("cannot run " + sql.substr(0, 60) + ": " + why);
  }
}

// Fills an R-tree made empty by SQLite (CREATE VIRTUAL TABLE ... USING
// rtree) by writing its node, rowid and parent tables as SQLite's own
// module stores them: a node is a blob of the size the root has, with the
// tree's depth (root only) and the cell count as big-endian 16-bit numbers,
// then cells of a big-endian 64-bit id and big-endian floats in the column
// order (min x, max x, min y, max y). Leaves are packed in the order rows
// come (a drive's samples follow its road, so a leaf covers a short stretch
// of it); the levels above are packed by sorted tiles, all in memory (one
// entry per leaf). The root is node 1.
class TRtreeBuilder {
 public:
  TRtreeBuilder(TGpkg& g, sqlite3* db, const std::string& rtree)
      : Node(g, db, "INSERT OR REPLACE INTO \"" + rtree + "_node\"(nodeno, data) VALUES (?, ?)"),
        Rowid(g, db, "INSERT INTO \"" + rtree + "_rowid\"(rowid, nodeno) VALUES (?, ?)"),
        Parent(g, db, "INSERT INTO \"" + rtree + "_parent\"(nodeno, parentnode) VALUES (?, ?)") {
    TStatement size(g, db, "SELECT length(data) FROM \"" + rtree + "_node\" WHERE nodeno = 1");
    if (sqlite3_step(*size) != SQLITE_ROW) g.Fail("the index " + rtree + " has no root");
    NodeBytes = size_t(sqlite3_column_int(*size, 0));
    Cells = (NodeBytes - 4) / CellBytes;
    if (NodeBytes < 4 + 2 * CellBytes) g.Fail("the index " + rtree + " has too small a root");
    Blob.resize(NodeBytes);
    Pending.reserve(Cells);
    std::string sql = "INSERT INTO \"" + rtree + "_rowid\"(rowid, nodeno) VALUES (?, ?)";
    for (size_t i = 1; i < Cells; ++i) sql += ", (?, ?)";
    LeafRowids = std::make_unique<TStatement>(g, db, sql);
  }
  void Add(int64_t id, double x, double y) {
    if (Pending.size() == Cells) FlushLeaf();
    Pending.push_back({id, FloatDown(x), FloatUp(x), FloatDown(y), FloatUp(y)});
  }
  void Finish() {
    if (Leaves.empty()) {  // one leaf: it is the root
      WriteNode(1, 0, Pending, true);
      return;
    }
    if (!Pending.empty()) FlushLeaf();
    std::vector<TEntry> level = std::move(Leaves);
    uint16_t depth = 1;
    for (; level.size() > Cells; ++depth) level = Pack(std::move(level));
    WriteNode(1, depth, level, false);
  }

 private:
  struct TEntry {
    int64_t Id;
    float MinX, MaxX, MinY, MaxY;
  };
  static constexpr size_t CellBytes = 8 + 4 * 4;

  static TEntry Bounds(int64_t id, const TEntry* first, const TEntry* last) {
    TEntry b = {id, first->MinX, first->MaxX, first->MinY, first->MaxY};
    for (const TEntry* e = first; e != last; ++e) {
      b.MinX = std::min(b.MinX, e->MinX);
      b.MaxX = std::max(b.MaxX, e->MaxX);
      b.MinY = std::min(b.MinY, e->MinY);
      b.MaxY = std::max(b.MaxY, e->MaxY);
    }
    return b;
  }
  void FlushLeaf() {
    const int64_t node = Next++;
    WriteNode(node, 0, Pending, true);
    Leaves.push_back(Bounds(node, Pending.data(), Pending.data() + Pending.size()));
    Pending.clear();
  }
  // The parents of `children`: sorted by x into vertical slices, each slice
  // by y, then cut into full nodes.
  std::vector<TEntry> Pack(std::vector<TEntry> children) {
    const size_t nodes = (children.size() + Cells - 1) / Cells;
    const size_t slices = size_t(std::ceil(std::sqrt(double(nodes))));
    const size_t perSlice = ((nodes + slices - 1) / slices) * Cells;
    auto byX = [](const TEntry& a, const TEntry& b) { return a.MinX + a.MaxX < b.MinX + b.MaxX; };
    auto byY = [](const TEntry& a, const TEntry& b) { return a.MinY + a.MaxY < b.MinY + b.MaxY; };
    std::sort(children.begin(), children.end(), byX);
    for (size_t at = 0; at < children.size(); at += perSlice)
      std::sort(children.begin() + ptrdiff_t(at), children.begin() + ptrdiff_t(std::min(children.size(), at + perSlice)), byY);
    std::vector<TEntry> parents;
    for (size_t at = 0; at < children.size(); at += Cells) {
      const std::vector<TEntry> group(children.begin() + ptrdiff_t(at),
                                      children.begin() + ptrdiff_t(std::min(children.size(), at + Cells)));
      const int64_t node = Next++;
      WriteNode(node, 0, group, false);
      parents.push_back(Bounds(node, group.data(), group.data() + group.size()));
    }
    return parents;
  }
  // Writes the node and files its cells under it: rows in the rowid table,
  // child nodes in the parent table.
  void WriteNode(int64_t node, uint16_t depth, const std::vector<TEntry>& cells, bool leaf) {
    std::fill(Blob.begin(), Blob.end(), 0);
    PutBig16(Blob.data(), depth);
    PutBig16(Blob.data() + 2, uint16_t(cells.size()));
    unsigned char* at = Blob.data() + 4;
    for (const TEntry& e : cells) {
      PutBig64(at, uint64_t(e.Id));
      PutBig32(at + 8, std::bit_cast<uint32_t>(e.MinX));
      PutBig32(at + 12, std::bit_cast<uint32_t>(e.MaxX));
      PutBig32(at + 16, std::bit_cast<uint32_t>(e.MinY));
      PutBig32(at + 20, std::bit_cast<uint32_t>(e.MaxY));
      at += CellBytes;
    }
    // A full leaf's rows are filed by one statement.
    const bool full = leaf && cells.size() == Cells;
    for (size_t i = 0; i < cells.size(); ++i) {
      TStatement& file = full ? *LeafRowids : leaf ? Rowid : Parent;
      const int first = full ? int(2 * i) : 0;
      sqlite3_bind_int64(*file, first + 1, cells[i].Id);
      sqlite3_bind_int64(*file, first + 2, node);
      if (!full) file.Run();
    }
    if (full) LeafRowids->Run();
    sqlite3_bind_int64(*Node, 1, node);
    sqlite3_bind_blob(*Node, 2, Blob.data(), int(Blob.size()), SQLITE_STATIC);
    Node.Run();
  }

  TStatement Node, Rowid, Parent;
  std::unique_ptr<TStatement> LeafRowids;
  size_t NodeBytes = 0, Cells = 0;
  std::vector<unsigned char> Blob;
  std::vector<TEntry> Pending;  // the leaf being filled
  std::vector<TEntry> Leaves;   // full leaves' node numbers and bounds
  int64_t Next = 2;
};

// "2026-12-08T09:00:00.100Z", as GDAL writes a GeoPackage date-time.
void FormatUtc(char (&out)[25], TDays t, int32_t utcOffsetMinutes) {
  const TCivilTime c = SplitDays(t - utcOffsetMinutes / 1440.0);
  auto digits = [&out](int at, int value, int count) {
    for (int i = count - 1; i >= 0; --i, value /= 10) out[at + i] = char('0' + value % 10);
  };
  digits(0, c.Year, 4);
  out[4] = '-';
  digits(5, c.Month, 2);
  out[7] = '-';
  digits(8, c.Day, 2);
  out[10] = 'T';
  digits(11, c.Hour, 2);
  out[13] = ':';
  digits(14, c.Minute, 2);
  out[16] = ':';
  digits(17, c.Second, 2);
  out[19] = '.';
  digits(20, c.Millisecond, 3);
  out[23] = 'Z';
  out[24] = 0;
}

class TSamplesTable {
 public:
  TSamplesTable(TGpkg& g, OGRLayerH layer)
      : G(g), Db((g.IndexNow(layer), g.Sqlite())), Name(OGR_L_GetName(layer)), Triggers(SaveTriggers()),
        Batch(g, Db, InsertSql(Name, BatchRows)), One(g, Db, InsertSql(Name, 1)),
        Index(g, Db, "rtree_" + Name + "_geom") {}

  void Add(const TDriveSummary& d) {
    TGridCell named;
    named.Arfcn = 0xffff;  // no cell is named this
    std::string cellName;
    TSpoolReader<TSpoolSample> in(d.SamplesSpool);
    for (TSpoolSample r; in.Next(r);) {
      if (!(r.Cell == named)) {
        named = r.Cell;
        cellName = GridCellName(r.Cell);
      }
      TRow& row = Pending[Filled++];
      row.Fid = ++Rows;
      PutLittle64(row.Geom + 13, std::bit_cast<uint64_t>(r.Longitude));
      PutLittle64(row.Geom + 21, std::bit_cast<uint64_t>(r.Latitude));
      FormatUtc(row.Time, r.Time, d.UtcOffsetMinutes);
      row.Cell = cellName;
      row.Key = r.Cell.Key;
      row.Arfcn = r.Cell.Arfcn;
      row.Level = r.Level;
      row.Quality = r.Quality;
      row.Dedicated = r.Dedicated;
      Index.Add(row.Fid, r.Longitude, r.Latitude);
      West = std::min(West, r.Longitude);
      East = std::max(East, r.Longitude);
      South = std::min(South, r.Latitude);
      North = std::max(North, r.Latitude);
      if (Filled == BatchRows) {
        for (size_t i = 0; i < BatchRows; ++i) Bind(*Batch, int(i) * Columns, Pending[i], d.Name);
        Batch.Run();
        Filled = 0;
      }
    }
    for (size_t i = 0; i < Filled; ++i) {
      Bind(*One, 0, Pending[i], d.Name);
      One.Run();
    }
    Filled = 0;
  }

  // The index, the count and the extent, and the table's triggers back.
  void Finish() {
    Index.Finish();
    const std::string table = "'" + Name + "'";
    Exec(G, Db, "UPDATE gpkg_ogr_contents SET feature_count = " + std::to_string(Rows) +
                    " WHERE lower(table_name) = lower(" + table + ")");
    if (Rows) {
      TStatement extent(G, Db,
                        "UPDATE gpkg_contents SET min_x = ?, min_y = ?, max_x = ?, max_y = ? "
                        "WHERE lower(table_name) = lower(" + table + ")");
      const double box[] = {West, South, East, North};
      for (int i = 0; i < 4; ++i) sqlite3_bind_double(*extent, i + 1, box[i]);
      extent.Run();
    }
    for (const std::string& sql : Triggers) Exec(G, Db, sql);
  }

 private:
  // The table's triggers (its feature count's, its index's) would work row
  // by row: they are set aside while the rows go in.
  std::vector<std::string> SaveTriggers() {
    std::vector<std::string> sql, names;
    {
      TStatement list(G, Db, "SELECT name, sql FROM sqlite_master WHERE type = 'trigger' AND tbl_name = '" + Name + "'");
      while (sqlite3_step(*list) == SQLITE_ROW) {
        names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(*list, 0)));
        sql.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(*list, 1)));
      }
    }
    for (const std::string& name : names) Exec(G, Db, "DROP TRIGGER \"" + name + "\"");
    return sql;
  }

  // Rows go in 16 to a statement: a statement's own cost (the table's
  // AUTOINCREMENT bookkeeping among it) would be as much as a row's.
  static constexpr size_t BatchRows = 16;
  static constexpr int Columns = 13;
  struct TRow {
    TRow() {
      PutLittle32(Geom + 4, 4326);
      Geom[8] = 1;  // WKB little-endian
      PutLittle32(Geom + 9, 1);  // point
    }
    int64_t Fid = 0;
    // The point's blob: GeoPackage's 8-byte header (magic, version 0, flags
    // 1: little-endian, no envelope; the CRS id) before the WKB point. GDAL
    // has no call that makes just this, and it is this small.
    unsigned char Geom[8 + 21] = {'G', 'P', 0, 1};
    char Time[25] = {};
    std::string Cell;
    TCellKey Key;
    uint16_t Arfcn = 0;
    uint8_t Level = 255, Quality = 255, Dedicated = 0;
  };
  static std::string InsertSql(const std::string& table, size_t rows) {
    std::string sql = "INSERT INTO \"" + table +
                      "\"(fid, geom, drive, time, cell, mcc, mnc, lac, ci, arfcn, level_dbm, quality, dedicated) VALUES ";
    for (size_t i = 0; i < rows; ++i) sql += i ? ", (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)" : "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
    return sql;
  }
  // The row's values from parameter `at` + 1 on; all stay the caller's.
  static void Bind(sqlite3_stmt* s, int at, const TRow& r, const std::string& drive) {
    auto optional = [s](int i, bool has, int value) {
      if (has)
        sqlite3_bind_int(s, i, value);
      else
        sqlite3_bind_null(s, i);
    };
    sqlite3_bind_int64(s, at + 1, r.Fid);
    sqlite3_bind_blob(s, at + 2, r.Geom, sizeof r.Geom, SQLITE_STATIC);
    sqlite3_bind_text(s, at + 3, drive.data(), int(drive.size()), SQLITE_STATIC);
    sqlite3_bind_text(s, at + 4, r.Time, 24, SQLITE_STATIC);
    sqlite3_bind_text(s, at + 5, r.Cell.data(), int(r.Cell.size()), SQLITE_STATIC);
    optional(at + 6, r.Key.Valid, r.Key.Mcc);
    optional(at + 7, r.Key.Valid, r.Key.Mnc);
    optional(at + 8, r.Key.Valid, r.Key.Lac);
    optional(at + 9, r.Key.Valid, r.Key.CellId);
    optional(at + 10, r.Arfcn != 0, r.Arfcn);
    optional(at + 11, r.Level != 255, int(r.Level) - 110);
    optional(at + 12, r.Quality != 255, r.Quality);
    sqlite3_bind_int(s, at + 13, r.Dedicated);
  }

  TGpkg& G;
  sqlite3* Db;
  std::string Name;
  std::vector<std::string> Triggers;
  TStatement Batch, One;
  TRtreeBuilder Index;
  TRow Pending[BatchRows];
  size_t Filled = 0;
  int64_t Rows = 0;
  double West = INFINITY, East = -INFINITY, South = INFINITY, North = -INFINITY;
};

OGRLayerH EventsLayer(TGpkg& g, OGRSpatialReferenceH wgs84) {
  auto fields = std::vector<std::pair<std::string, OGRFieldType>>{
      {"drive", OFTString}, {"time", OFTDateTime}, {"kind", OFTString}, {"direction", OFTString}, {"cell", OFTString}};
  fields.insert(fields.end(), CellFields.begin(), CellFields.end());
  fields.insert(fields.end(), {{"setup_time_s", OFTReal}, {"cause", OFTString}});
  return g.Layer("events", wgs84, wkbPoint, fields);
}

void AddEvents(TGpkg& g, OGRLayerH layer, const TDriveSummary& d) {
  OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
  TSpoolReader<TSpoolEvent> in(d.EventsSpool);
  for (TSpoolEvent e; in.Next(e);) {
    OGRFeatureH f = OGR_F_Create(defn);
    OGR_F_SetFieldString(f, 0, d.Name.c_str());
    SetTime(f, 1, e.Time, d.UtcOffsetMinutes);
    OGR_F_SetFieldString(f, 2, EventKindName(e.Kind));
    OGR_F_SetFieldString(f, 3, CallDirectionName(e.Direction));
    OGR_F_SetFieldString(f, 4, GridCellName(e.Cell).c_str());
    SetCell(f, 5, e.Cell);
    if (std::isfinite(e.SetupTimeS))
      OGR_F_SetFieldDouble(f, 10, e.SetupTimeS);
    else
      OGR_F_SetFieldNull(f, 10);
    e.Cause[sizeof e.Cause - 1] = 0;
    OGR_F_SetFieldString(f, 11, e.Cause);
    if (e.Longitude != -9999.0) {
      OGRGeometryH point = OGR_G_CreateGeometry(wkbPoint);
      OGR_G_SetPoint_2D(point, 0, e.Longitude, e.Latitude);
      OGR_F_SetGeometryDirectly(f, point);
    }
    g.Add(layer, f);
  }
}

OGRLayerH RoutesLayer(TGpkg& g, OGRSpatialReferenceH wgs84) {
  return g.Layer("routes", wgs84, wkbLineString,
                 {{"drive", OFTString}, {"fixes", OFTInteger64}, {"start", OFTDateTime},
                  {"end", OFTDateTime}, {"records", OFTInteger64}, {"positioned", OFTInteger64}});
}

void AddRoute(TGpkg& g, OGRLayerH layer, const TDriveSummary& d) {
  OGRGeometryH line = OGR_G_CreateGeometry(wkbLineString);
  TSpoolReader<TSpoolFix> in(d.FixesSpool);
  int64_t fixes = 0;
  TDays first = 0, last = 0;
  for (TSpoolFix fix; in.Next(fix); ++fixes) {
    OGR_G_AddPoint_2D(line, fix.Longitude, fix.Latitude);
    if (!fixes) first = fix.Time;
    last = fix.Time;
  }
  OGRFeatureH f = OGR_F_Create(OGR_L_GetLayerDefn(layer));
  OGR_F_SetFieldString(f, 0, d.Name.c_str());
  OGR_F_SetFieldInteger64(f, 1, fixes);
  if (fixes) {
    SetTime(f, 2, first, d.UtcOffsetMinutes);
    SetTime(f, 3, last, d.UtcOffsetMinutes);
  }
  OGR_F_SetFieldInteger64(f, 4, d.Records);
  OGR_F_SetFieldInteger64(f, 5, d.Positioned);
  // A line needs two points; a drive without fixes keeps its row, with no line.
  if (fixes >= 2)
    OGR_F_SetGeometryDirectly(f, line);
  else
    OGR_G_DestroyGeometry(line);
  g.Add(layer, f);
}

void WriteSitesLayer(TGpkg& g, const TCellSites& sites, OGRSpatialReferenceH wgs84) {
  auto fields = std::vector<std::pair<std::string, OGRFieldType>>{{"radio", OFTString}, {"cell", OFTString}};
  fields.insert(fields.end(), CellFields.begin(), CellFields.end() - 1);
  fields.insert(fields.end(), {{"range_m", OFTReal}, {"samples", OFTInteger64}});
  OGRLayerH layer = g.Layer("sites", wgs84, wkbPoint, fields);
  OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
  for (const TCellSite& s : sites.All()) {
    OGRFeatureH f = OGR_F_Create(defn);
    TGridCell cell;
    cell.Key = s.Key;
    OGR_F_SetFieldString(f, 0, s.Radio.c_str());
    OGR_F_SetFieldString(f, 1, GridCellName(cell).c_str());
    OGR_F_SetFieldInteger(f, 2, s.Key.Mcc);
    OGR_F_SetFieldInteger(f, 3, s.Key.Mnc);
    OGR_F_SetFieldInteger(f, 4, s.Key.Lac);
    OGR_F_SetFieldInteger(f, 5, s.Key.CellId);
    OGR_F_SetFieldDouble(f, 6, s.RangeM);
    OGR_F_SetFieldInteger64(f, 7, s.Samples);
    OGRGeometryH point = OGR_G_CreateGeometry(wkbPoint);
    OGR_G_SetPoint_2D(point, 0, s.Longitude, s.Latitude);
    OGR_F_SetGeometryDirectly(f, point);
    g.Add(layer, f);
  }
}

// A table of flat JSON rows; the columns are the union of their keys, in
// the order first met, typed by their first non-null value.
void WriteTable(TGpkg& g, const char* name, const std::vector<json>& rows) {
  std::vector<std::pair<std::string, OGRFieldType>> fields;
  std::map<std::string, size_t> index;
  if (!rows.empty() && rows.front().contains("drive")) {
    index["drive"] = 0;
    fields.emplace_back("drive", OFTString);
  }
  for (const json& row : rows)
    for (const auto& [k, v] : row.items()) {
      auto it = index.find(k);
      if (it == index.end()) {
        index[k] = fields.size();
        fields.emplace_back(k, OFTReal);
        it = index.find(k);
      }
      OGRFieldType& type = fields[it->second].second;
      if (v.is_string()) type = OFTString;
      else if ((v.is_number_integer() || v.is_boolean()) && type == OFTReal) type = OFTInteger64;
    }
  // A column typed integer by one row but holding fractions in another is real.
  for (const json& row : rows)
    for (const auto& [k, v] : row.items())
      if (v.is_number_float() && fields[index[k]].second == OFTInteger64) fields[index[k]].second = OFTReal;
  OGRLayerH layer = g.Layer(name, nullptr, wkbNone, fields);
  OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
  for (const json& row : rows) {
    OGRFeatureH f = OGR_F_Create(defn);
    for (size_t i = 0; i < fields.size(); ++i) {
      const auto it = row.find(fields[i].first);
      const int field = int(i);
      if (it == row.end() || it->is_null())
        OGR_F_SetFieldNull(f, field);
      else if (fields[i].second == OFTString)
        OGR_F_SetFieldString(f, field, it->is_string() ? it->get<std::string>().c_str() : it->dump().c_str());
      else if (fields[i].second == OFTReal)
        OGR_F_SetFieldDouble(f, field, it->is_boolean() ? double(it->get<bool>()) : it->get<double>());
      else
        OGR_F_SetFieldInteger64(f, field, it->is_boolean() ? int64_t(it->get<bool>()) : it->get<int64_t>());
    }
    g.Add(layer, f);
  }
}

std::vector<json> DriveKpiRows(const TCampaignResult& c, bool total) {
  std::vector<json> rows;
  for (const TDriveSummary& d : c.Drives) {
    json row = {{"drive", d.Name}};
    Flatten("", KpiJson(d.Kpis), row);
    rows.push_back(std::move(row));
  }
  if (!total) return rows;
  json all = {{"drive", "(total)"}};
  Flatten("", KpiJson(c.Total), all);
  rows.push_back(std::move(all));
  return rows;
}

std::vector<json> CellKpiRows(const TCampaignResult& c) {
  std::vector<json> rows;
  for (const json& cell : CellTableJson(c.Cells)) {
    json row = json::object();
    Flatten("", cell, row);
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string PageJson(const TCampaignResult& c, int64_t minSamples) {
  json data;
  data["bin_metres"] = c.Grid.BinMetres();
  data["epsg"] = c.Epsg;
  data["min_samples"] = minSamples;
  json bins = json::array();
  for (const TBinRow& r : BinRows(c.Grid, minSamples)) bins.push_back(BinJson(r));
  data["bins"] = std::move(bins);
  json drives = json::array();
  for (const TDriveSummary& d : c.Drives) drives.push_back({{"drive", d.Name}, {"kpi", KpiJson(d.Kpis)}});
  data["drives"] = std::move(drives);
  data["total"] = KpiJson(c.Total);
  data["cells"] = CellTableJson(c.Cells);
  data["duplicates"] = c.Duplicates;
  data["skipped"] = c.Bad;
  std::string text = data.dump();
  // Inside a <script>: "<" only ever stands in strings, where \u003c means the same.
  std::string safe;
  safe.reserve(text.size());
  for (char ch : text) {
    if (ch == '<')
      safe += "\\u003c";
    else
      safe += ch;
  }
  return safe;
}

}  // namespace

json FlattenJson(const json& object) {
  json out = json::object();
  Flatten("", object, out);
  return out;
}

struct TCampaignGpkg::TState {
  explicit TState(const std::string& path) : G(path) {
    Wgs84 = G.Crs(4326);
    G.Begin();
    Samples = std::make_unique<TSamplesTable>(G, SamplesLayer(G, Wgs84));
    Events = EventsLayer(G, Wgs84);
    Routes = RoutesLayer(G, Wgs84);
  }
  TGpkg G;
  OGRSpatialReferenceH Wgs84 = nullptr;
  std::unique_ptr<TSamplesTable> Samples;
  OGRLayerH Events = nullptr, Routes = nullptr;
};

TCampaignGpkg::TCampaignGpkg(const std::string& path) : State(std::make_unique<TState>(path)) {}
TCampaignGpkg::~TCampaignGpkg() = default;

void TCampaignGpkg::AddDrive(const TDriveSummary& drive) {
  State->Samples->Add(drive);
  AddEvents(State->G, State->Events, drive);
  AddRoute(State->G, State->Routes, drive);
}

void TCampaignGpkg::Finish(const TGpkgContent& content) {
  const TCampaignResult& c = *content.Campaign;
  TGpkg& g = State->G;
  State->Samples->Finish();
  State->Samples.reset();  // its statements go before GDAL closes the connection
  if (content.Bins) WriteBinsLayer(g, c, content.MinSamples);
  if (content.Sites) WriteSitesLayer(g, *content.Sites, State->Wgs84);
  WriteTable(g, "drive_kpis", DriveKpiRows(c, content.Bins));
  WriteTable(g, "cell_kpis", CellKpiRows(c));
  g.End();
  g.Commit();
}

void WriteCampaignGpkg(const std::string& path, const TGpkgContent& content) {
  TCampaignGpkg gpkg(path);
  for (const TDriveSummary& drive : content.Campaign->Drives) gpkg.AddDrive(drive);
  gpkg.Finish(content);
}

void WriteBinsGeoJson(const std::string& path, const TCampaignResult& c, int64_t minSamples) {
  json features = json::array();
  if (c.Epsg) {
    const TUtmProjection utm(c.Epsg);
    for (const TBinRow& r : BinRows(c.Grid, minSamples))
      features.push_back({{"type", "Feature"},
                          {"geometry", {{"type", "Polygon"}, {"coordinates", json::array({BinRingWgs84(r, utm)})}}},
                          {"properties", BinJson(r)}});
  }
  json doc = {{"type", "FeatureCollection"},
              {"name", "bins"},
              {"bin_metres", c.Grid.BinMetres()},
              {"grid_crs", "EPSG:" + std::to_string(c.Epsg)},
              {"features", std::move(features)}};
  WriteWhole(path, doc.dump() + "\n");
}

void WriteBinsCsv(const std::string& path, const TCampaignResult& c, int64_t minSamples) {
  std::string text;
  const json header = BinJson(TBinRow{});
  text += "west_m,south_m,centre_lon,centre_lat";
  for (const auto& [k, v] : header.items()) text += "," + k;
  text += "\n";
  std::unique_ptr<TUtmProjection> utm;
  if (c.Epsg) utm = std::make_unique<TUtmProjection>(c.Epsg);
  char number[64];
  for (const TBinRow& r : BinRows(c.Grid, minSamples)) {
    double lon = 0, lat = 0;
    if (utm) utm->Inverse(r.West + r.Size / 2, r.South + r.Size / 2, lon, lat);
    std::snprintf(number, sizeof number, "%.0f,%.0f,%.7f,%.7f", r.West, r.South, lon, lat);
    text += number;
    const json values = BinJson(r);
    for (const auto& [k, v] : values.items()) {
      text += ",";
      if (v.is_string())
        text += v.get<std::string>();
      else if (v.is_boolean())
        text += v.get<bool>() ? "1" : "0";
      else if (v.is_number_float()) {
        std::snprintf(number, sizeof number, "%.4f", v.get<double>());
        text += number;
      } else if (!v.is_null())
        text += v.dump();
    }
    text += "\n";
  }
  WriteWhole(path, text);
}

void WriteCampaignHtml(const std::string& path, const TCampaignResult& c, int64_t minSamples) {
  std::string page = CampaignPageTemplate();
  const std::string mark = "/*CAMPAIGN_DATA*/null";
  const size_t at = page.find(mark);
  page.replace(at, mark.size(), PageJson(c, minSamples));
  WriteWhole(path, page);
}
