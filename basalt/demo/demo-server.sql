-- The demo server of basalt-host: the Personal plug-in's tables with three groups of common
-- functions for the user "demo" (menu ids of basalt/demo/demo-menu.txt). Run it with
--   build/server/qorvin-server --schema basalt/demo/demo-server.sql
-- It may run again on a database that has it: nothing is created or inserted twice.
create table if not exists bUserCommon (
  UserID varchar(20) not null,
  GroupType varchar(50) not null,
  MenuIdList varchar(1000),
  GroupOrderBy int,
  CreateDatetime timestamp,
  CreateOperator varchar(20)
);
create table if not exists bUserGroupCommon (
  UserGroup varchar(50) not null,
  GroupType varchar(50) not null,
  MenuIdList varchar(1000),
  GroupOrderBy int,
  CreateDatetime timestamp,
  CreateOperator varchar(20)
);
insert into bUserCommon(UserID, GroupType, MenuIdList, GroupOrderBy, CreateDatetime,
                        CreateOperator)
select 'demo', '常用单据', '201,202,301', 1, getdate(), 'demo'
where not exists (select 1 from bUserCommon where UserID = 'demo')
insert into bUserCommon(UserID, GroupType, MenuIdList, GroupOrderBy, CreateDatetime,
                        CreateOperator)
select 'demo', '报表', '2031,2032,401', 2, getdate(), 'demo'
where not exists (select 1 from bUserCommon where UserID = 'demo' and GroupOrderBy = 2)
insert into bUserCommon(UserID, GroupType, MenuIdList, GroupOrderBy, CreateDatetime,
                        CreateOperator)
select 'demo', '系统', '101,104', 3, getdate(), 'demo'
where not exists (select 1 from bUserCommon where UserID = 'demo' and GroupOrderBy = 3)
